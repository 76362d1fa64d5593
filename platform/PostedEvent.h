#pragma once
#include <QEvent>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/WindowRef.h"

class QObject;

// Messages posted to one window, oldest first. Any thread pushes; the window takes them
// on its own thread. The hand-over goes through this std::mutex rather than through
// Qt's event queue, so what a worker wrote before posting is plainly visible to the
// window (and to the thread sanitizer) once it takes the message.
class PostedQueue {
public:
    void Push(PostedMessage m);
    bool Pop(PostedMessage& out);

private:
    std::mutex lock_;
    std::deque<PostedMessage> messages_;
};

// The event that wakes a receiver for one queued message; it carries nothing itself.
QEvent::Type PostedWakeEventType();

// A window handle whose posts land in `queue` and wake `receiver` on its thread.
// The owner invalidates it before the receiver is destroyed.
WindowRef MakeWindowRef(QObject* receiver, std::shared_ptr<PostedQueue> queue);
