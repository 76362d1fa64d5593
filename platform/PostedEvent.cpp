#include "platform/PostedEvent.h"

#include <QCoreApplication>

QEvent::Type PostedEvent::EventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

WindowRef MakeWindowRef(QObject* receiver) {
    return WindowRef::Create([receiver](PostedMessage&& m) {
        QCoreApplication::postEvent(receiver, new PostedEvent(std::move(m)));
    });
}
