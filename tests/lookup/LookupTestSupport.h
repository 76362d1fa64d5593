#pragma once
// A scripted TCP server on a loopback address, a window that records posts, and a
// private network and mount namespace whose hosts file is the test's own, so no
// look-up ever leaves the machine.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/WindowRef.h"
#include "support/TestSupport.h"

// Polls until done() holds or the limit passes; returns done().
bool WaitFor(const std::function<bool()>& done, int limitMs = 5000);

// Answers each connection in turn: reads the request (a CR LF line, or an HTTP header
// and its body), sends the pieces with a pause between them, then closes, or with
// hold keeps the connection open until Release().
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<std::string> pieces, bool hold = false, int pauseMs = 0,
                            const std::string& address = "127.0.0.1", uint16_t port = 0);
    ~ScriptedServer();
    std::string endpoint() const { return address_ + ":" + std::to_string(port_); }
    std::vector<std::string> Requests();
    bool WaitForRequests(size_t count) {
        return WaitFor([&] { return Requests().size() >= count; });
    }
    void Release() { released_ = true; }

private:
    void Answer(int fd);
    std::vector<std::string> pieces_;
    bool hold_;
    int pauseMs_;
    std::string address_;
    uint16_t port_ = 0;
    int listener_ = -1;
    std::mutex lock_;
    std::vector<std::string> requests_;
    std::atomic<bool> released_{false}, stopping_{false};
    std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens.
uint16_t RefusingPort();

// Listens on 127.0.0.1 and never accepts: the kernel completes each connection and
// takes the request, and nothing ever answers. Holds no descriptor per connection.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int listener_ = -1;
    uint16_t port_ = 0;
};

// This process's threads and open descriptors.
struct ProcessCounts {
    size_t threads = 0, descriptors = 0;
    static ProcessCounts Now();
    bool operator==(const ProcessCounts&) const = default;
};

// Stands for a window and counts what workers post to it.
struct PostRecorder {
    PostRecorder() : window(WindowRef::Create([this](PostedMessage&&) { ++posts; })) {}
    ~PostRecorder() { window.Invalidate(); }
    std::atomic<int> posts{0};
    WindowRef window;
};

// Moves the calling thread, and the threads it starts later, into a network and mount
// namespace of its own with loopback up, where /etc/hosts holds hostsLines and the
// name server is 127.0.0.1 with nothing listening (an unknown name fails at once).
// The thread goes back when the object goes.
class ResolverSandbox {
public:
    explicit ResolverSandbox(const std::string& hostsLines);
    ~ResolverSandbox();
    const std::string& error() const { return error_; }

private:
    TempDir files_;
    int homeNet_ = -1, homeMount_ = -1;
    std::string error_;
};
