#include "platform/PostedEvent.h"

#include <QCoreApplication>

void PostedQueue::Push(PostedMessage m) {
    std::lock_guard<std::mutex> guard(lock_);
    messages_.push_back(std::move(m));
}

bool PostedQueue::Pop(PostedMessage& out) {
    std::lock_guard<std::mutex> guard(lock_);
    if (messages_.empty()) return false;
    out = std::move(messages_.front());
    messages_.pop_front();
    return true;
}

QEvent::Type PostedWakeEventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

WindowRef MakeWindowRef(QObject* receiver, std::shared_ptr<PostedQueue> queue) {
    return WindowRef::Create([receiver, queue = std::move(queue)](PostedMessage&& m) {
        queue->Push(std::move(m));
        QCoreApplication::postEvent(receiver, new QEvent(PostedWakeEventType()));
    });
}
