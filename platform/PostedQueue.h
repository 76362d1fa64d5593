#pragma once
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/WindowRef.h"

class QObject;

// Messages posted to one window, oldest first. Any thread pushes; the window takes them
// on its own thread. The hand-over goes through this mutex, and the wake-up through an
// eventfd, so nothing a worker allocates crosses Qt's own queue: what a worker wrote
// before posting is plainly visible to the window, and to the thread sanitizer.
class PostedQueue {
public:
    PostedQueue();
    ~PostedQueue();
    PostedQueue(const PostedQueue&) = delete;
    PostedQueue& operator=(const PostedQueue&) = delete;

    void Push(PostedMessage m);
    // Takes the oldest message; when more wait, the wake-up stays armed for them.
    bool Pop(PostedMessage& out);
    // Readable while messages wait.
    int WakeFd() const { return wakeFd_; }

private:
    void Wake() const;
    std::mutex lock_;
    std::deque<PostedMessage> messages_;
    int wakeFd_ = -1;
};

// A window handle whose posts land in the queue.
WindowRef MakeWindowRef(std::shared_ptr<PostedQueue> queue);

// Hands the queue's messages to `deliver` on the receiver's thread, one per turn of its
// event loop, so a handler that runs a nested loop (a message box) still receives the
// next one, as posted window messages are. Stops when the receiver is destroyed.
void DeliverPostedMessages(QObject* receiver, std::shared_ptr<PostedQueue> queue,
                           std::function<void(PostedMessage&)> deliver);
