#pragma once
// The local Messenger mailslot: a Unix datagram socket bound to an abstract name. Only
// one socket in a network namespace can hold the name, so a second copy of the program
// cannot create it; the name goes with the socket, leaving no file behind.
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

inline constexpr const char* LOCAL_MAILSLOT_NAME = "\\\\.\\mailslot\\messngr";
// The kernel keeps only about eleven datagrams per socket, so the window moves them into
// a queue of its own; this bounds that queue.
inline constexpr size_t MAILSLOT_QUEUE_MAX = 64;

class CMessengerMailslot {
public:
    // Null when the name is taken or the socket cannot be made.
    static std::unique_ptr<CMessengerMailslot> Create(const std::string& name = LOCAL_MAILSLOT_NAME);
    ~CMessengerMailslot();
    CMessengerMailslot(const CMessengerMailslot&) = delete;
    CMessengerMailslot& operator=(const CMessengerMailslot&) = delete;

    const std::string& Name() const { return name_; }
    // Readable while datagrams wait in the socket.
    int Fd() const { return fd_; }
    // Moves waiting datagrams into the queue, never blocking; once the queue is full the
    // rest stay in the socket.
    void Drain();
    // The oldest message, its first 1,023 bytes when longer; false when none waits.
    bool ReadNext(std::string& message);
    size_t Waiting() const { return queue_.size(); }
    bool Full() const { return queue_.size() >= MAILSLOT_QUEUE_MAX; }

private:
    CMessengerMailslot(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    int fd_;
    std::string name_;
    std::deque<std::string> queue_;
};

// Writes one message into the mailslot of that name in this thread's network namespace.
// While its queue is full it waits up to waitMs, ending early when stopFd (if not -1)
// turns readable. False when nobody holds the name or the message could not go.
bool WriteLocalMailslot(const std::string& name, std::string_view message, int waitMs = 0, int stopFd = -1);
