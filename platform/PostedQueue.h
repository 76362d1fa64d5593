#pragma once
#include <chrono>
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
    // Takes the oldest message. The wake-up stays armed for as long as messages wait.
    bool Pop(PostedMessage& out);
    size_t Waiting();
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

// How much of its own processor time the receiver's thread may spend in one turn of
// its event loop handing messages over before it lets painting, timers and input in
// again; and how long by the clock, for handlers that wait (a slow disk). Processor
// time, because on a busy machine the clock runs on while the thread is off the
// processor, and batches cut by the clock alone shrink to a message or two, each
// turn then paying for a paint.
inline constexpr std::chrono::milliseconds POSTED_BATCH_TIME{8};
inline constexpr std::chrono::milliseconds POSTED_BATCH_WAIT{50};

// Hands the queue's messages to `deliver` on the receiver's thread: each turn of its
// event loop delivers every message waiting when the turn began, oldest first, within
// POSTED_BATCH_TIME and POSTED_BATCH_WAIT. The messages stay in the queue until each
// one's turn comes, so a
// handler that runs a nested loop (a message box) still receives the rest of the batch
// from that loop, as posted window messages are. Stops when the receiver is destroyed.
void DeliverPostedMessages(QObject* receiver, std::shared_ptr<PostedQueue> queue,
                           std::function<void(PostedMessage&)> deliver);
