#include "platform/PostedQueue.h"

#include <QPointer>
#include <QSocketNotifier>
#include <malloc.h>
#include <sys/eventfd.h>
#include <time.h>
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
    std::lock_guard<std::mutex> guard(lock_);
    const bool any = !messages_.empty();
    if (any) {
        out = std::move(messages_.front());
        messages_.pop_front();
    }
    // Disarmed only under the lock and only when nothing waits: a push after this
    // arms it again, as its write follows its insertion.
    if (messages_.empty()) {
        uint64_t count;
        (void)!::read(wakeFd_, &count, sizeof count);
    }
    return any;
}

size_t PostedQueue::Waiting() {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_.size();
}

WindowRef MakeWindowRef(std::shared_ptr<PostedQueue> queue) {
    return WindowRef::Create([queue = std::move(queue)](PostedMessage&& m) { queue->Push(std::move(m)); });
}

namespace {

std::chrono::nanoseconds ThreadTime() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

// Messages that, handed over between two moments the queue stood empty, leave the
// heap they passed through to be given back.
constexpr size_t kBurst = 10000;

struct Delivery {
    QPointer<QObject> receiver;
    std::shared_ptr<PostedQueue> queue;
    std::function<void(PostedMessage&)> deliver;
    size_t delivered = 0;  // since the queue last stood empty

    void Turn() {
        const auto until = std::chrono::steady_clock::now() + POSTED_BATCH_WAIT;
        const auto worked = ThreadTime() + POSTED_BATCH_TIME;
        // Messages posted during the turn wait for the next one, so a worker that
        // keeps posting cannot hold the loop.
        for (size_t n = queue->Waiting(); n > 0; --n) {
            PostedMessage m;
            if (!queue->Pop(m)) break;  // a nested loop's turn took the rest
            deliver(m);
            ++delivered;
            if (!receiver || ThreadTime() >= worked || std::chrono::steady_clock::now() >= until) return;
        }
        if (queue->Waiting() > 0) return;
        // A burst (the connections found at start, a storm of them) leaves megabytes
        // of freed messages amid the heap, which only a trim hands back.
        if (delivered >= kBurst) malloc_trim(0);
        delivered = 0;
    }
};

}  // namespace

void DeliverPostedMessages(QObject* receiver, std::shared_ptr<PostedQueue> queue,
                           std::function<void(PostedMessage&)> deliver) {
    auto delivery = std::make_shared<Delivery>(Delivery{receiver, queue, std::move(deliver)});
    auto* notifier = new QSocketNotifier(queue->WakeFd(), QSocketNotifier::Read, receiver);
    QObject::connect(notifier, &QSocketNotifier::activated, receiver, [delivery] {
        // A handler may destroy the receiver, and this connection with it.
        const std::shared_ptr<Delivery> keep = delivery;
        keep->Turn();
    });
}
