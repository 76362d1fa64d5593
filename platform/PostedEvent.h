#pragma once
#include <QEvent>

#include "platform/WindowRef.h"

class QObject;

// A posted window message as a Qt event; the receiver takes the payload over.
class PostedEvent : public QEvent {
public:
    explicit PostedEvent(PostedMessage m) : QEvent(EventType()), message(std::move(m)) {}
    static QEvent::Type EventType();
    PostedMessage message;
};

// A window handle whose posts arrive at `receiver` as PostedEvents on its thread.
// The owner invalidates it before the receiver is destroyed.
WindowRef MakeWindowRef(QObject* receiver);
