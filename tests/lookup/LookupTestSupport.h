#pragma once
// Servers and a resolver of the lookup tests' own: a scripted TCP server on a
// loopback address, and a private network and mount namespace whose hosts file is
// the test's, so no look-up ever leaves the machine.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/WindowRef.h"
#include "support/TestSupport.h"

// Answers every connection the same way: reads the request (up to a CR LF line, or
// an HTTP header and its Content-Length body), sends the pieces with a pause before
// each one after the first, then closes, or holds the connection open until
// Release() when hold is set.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<std::string> pieces, bool hold = false, int pauseMs = 0,
                            const std::string& address = "127.0.0.1", uint16_t port = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    uint16_t port() const { return port_; }
    std::string endpoint() const { return address_ + ":" + std::to_string(port_); }
    // Requests received so far, one per connection.
    std::vector<std::string> Requests();
    bool WaitForRequests(size_t count, int limitMs = 5000);
    // Closes held connections, now and from then on.
    void Release();

private:
    void Serve();
    void Answer(int fd);

    std::vector<std::string> pieces_;
    bool hold_;
    int pauseMs_;
    std::string address_;
    uint16_t port_ = 0;
    int listener_ = -1;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> requests_;
    bool released_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens: connecting is refused.
uint16_t RefusingPort();

// Stands for a window: records what workers post to it.
class PostRecorder {
public:
    PostRecorder();
    ~PostRecorder() { window.Invalidate(); }
    bool WaitForPosts(size_t count, int limitMs = 5000);
    size_t Count();
    WindowRef window;

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<PostedMessage> posts_;
};

// Waits until nothing else holds the block any more, i.e. its worker has ended.
template <class T>
bool WaitUntilReleased(const std::weak_ptr<T>& block, int limitMs = 5000) {
    for (int waited = 0; waited < limitMs; waited += 10) {
        if (block.expired()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return block.expired();
}

// Moves the calling thread, and every thread it starts afterwards, into a network and
// mount namespace of its own with loopback up, where /etc/hosts holds hostsLines,
// the name server is 127.0.0.1 with nothing listening (an unknown name or address
// fails at once) and nothing but those two files is asked. The thread returns to its
// own namespaces when the object goes.
class ResolverSandbox {
public:
    explicit ResolverSandbox(const std::string& hostsLines);
    ~ResolverSandbox();
    ResolverSandbox(const ResolverSandbox&) = delete;
    ResolverSandbox& operator=(const ResolverSandbox&) = delete;
    // Empty once inside; otherwise what failed.
    const std::string& error() const { return error_; }

private:
    TempDir files_;
    int homeNet_ = -1;
    int homeMount_ = -1;
    std::string error_;
};
