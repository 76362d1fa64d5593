#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// A message posted to a window: the message number, its word parameter and the
// payload that the receiving handler takes over (in place of a malloc'd block).
struct PostedMessage {
    int message = 0;
    intptr_t wParam = 0;
    std::string payload;
};

// Stands for a window handle that may be held by any thread. Posting to a window that
// is gone drops the message; IsWindow tells whether it still exists. The sink runs
// under the lock, so a window that closes waits for a post in flight to finish.
class WindowRef {
public:
    using Sink = std::function<void(PostedMessage&&)>;

    WindowRef() = default;
    static WindowRef Create(Sink sink);

    bool PostMessage(int message, intptr_t wParam = 0, std::string payload = {}) const;
    bool IsWindow() const;
    // Called by the window when it goes away; later posts are dropped.
    void Invalidate() const;
    bool IsNull() const { return !state_; }

private:
    struct State {
        std::mutex lock;
        Sink sink;
        bool alive = true;
    };
    std::shared_ptr<State> state_;
};
