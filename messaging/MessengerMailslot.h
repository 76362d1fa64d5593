#pragma once
// The local Messenger mailslot, this user's own: a Unix datagram socket that one copy of
// the program holds at a time and other copies write to.
//
// A name that begins with '/' is a socket file. It lies in a folder that only the user
// may enter, and a lock file beside it, held while the socket lives, says who holds the
// mailslot: a socket file a crashed copy left behind is replaced, a live copy's never.
// Any other name is an abstract one, which any local user can reach: there the holder
// drops every datagram that another uid sent, and a writer sends only to a holder that
// runs as its own uid.
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

inline constexpr const char* LOCAL_MAILSLOT_FILE = "tolvara-messngr";
// The kernel keeps only about eleven datagrams per socket, so the window moves them into
// a queue of its own; this bounds that queue.
inline constexpr size_t MAILSLOT_QUEUE_MAX = 64;

// This user's mailslot: LOCAL_MAILSLOT_FILE in the user's runtime folder ($XDG_RUNTIME_DIR,
// else /run/user/UID) where that is the user's own and closed to everyone else; otherwise
// the abstract name LOCAL_MAILSLOT_FILE-UID.
std::string LocalMailslotName();

class CMessengerMailslot {
public:
    // Null when another copy holds it or the socket cannot be made.
    static std::unique_ptr<CMessengerMailslot> Create(const std::string& name);
    ~CMessengerMailslot();
    CMessengerMailslot(const CMessengerMailslot&) = delete;
    CMessengerMailslot& operator=(const CMessengerMailslot&) = delete;

    const std::string& Name() const { return name_; }
    // Readable while datagrams wait in the socket.
    int Fd() const { return fd_; }
    // Moves waiting datagrams into the queue, never blocking; once the queue is full the
    // rest stay in the socket. Datagrams from another uid are dropped.
    void Drain();
    // The oldest message, its first 1,023 bytes when longer; false when none waits.
    bool ReadNext(std::string& message);
    size_t Waiting() const { return queue_.size(); }
    bool Full() const { return queue_.size() >= MAILSLOT_QUEUE_MAX; }

private:
    CMessengerMailslot(int fd, int lockFd, std::string name) : fd_(fd), lockFd_(lockFd), name_(std::move(name)) {}
    int fd_;
    int lockFd_;  // -1 for an abstract name
    std::string name_;
    std::deque<std::string> queue_;
};

// Writes one message into the mailslot of that name (an abstract one in this thread's
// network namespace). While its queue is full it waits up to waitMs, ending early when
// stopFd (if not -1) turns readable. False when nobody holds the name, another uid holds
// an abstract one, or the message could not go.
bool WriteLocalMailslot(const std::string& name, std::string_view message, int waitMs = 0, int stopFd = -1);
