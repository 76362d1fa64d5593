#include "platform/PostedQueue.h"

#include <QSocketNotifier>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

PostedQueue::PostedQueue() : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

PostedQueue::~PostedQueue() {
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void PostedQueue::Wake() const {
    const uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
}

void PostedQueue::Push(PostedMessage m) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.push_back(std::move(m));
    }
    Wake();
}

bool PostedQueue::Pop(PostedMessage& out) {
    uint64_t count;
    (void)!::read(wakeFd_, &count, sizeof count);
    std::lock_guard<std::mutex> guard(lock_);
    if (messages_.empty()) return false;
    out = std::move(messages_.front());
    messages_.pop_front();
    if (!messages_.empty()) Wake();
    return true;
}

WindowRef MakeWindowRef(std::shared_ptr<PostedQueue> queue) {
    return WindowRef::Create([queue = std::move(queue)](PostedMessage&& m) { queue->Push(std::move(m)); });
}

void DeliverPostedMessages(QObject* receiver, std::shared_ptr<PostedQueue> queue,
                           std::function<void(PostedMessage&)> deliver) {
    auto* notifier = new QSocketNotifier(queue->WakeFd(), QSocketNotifier::Read, receiver);
    QObject::connect(notifier, &QSocketNotifier::activated, receiver,
                     [queue, deliver = std::move(deliver)] {
                         PostedMessage m;
                         if (queue->Pop(m)) deliver(m);
                     });
}
