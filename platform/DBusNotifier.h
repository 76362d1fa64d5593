#pragma once
#include <memory>

#include "platform/DesktopNotifier.h"

// org.freedesktop.Notifications on the session bus. Without a bus every call is
// answered as failed.
std::unique_ptr<DesktopNotifier> CreateSessionBusNotifier();
