#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "platform/WindowRef.h"

// The block a window shares with one worker thread. Held through a shared_ptr by both,
// so a worker that outlives its window never touches freed memory. A negative status
// is always the window's request that the worker stop.
struct ThreadLink {
    WindowRef hwnd;
    std::unique_ptr<std::string> text;  // result handed to the window's handler
    char address[16] = {};
    std::atomic<int> status{0};
};
