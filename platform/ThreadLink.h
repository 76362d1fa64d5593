#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/WindowRef.h"

// Where a worker stands with its window.
enum class WorkerState : int {
    Stopping = -1,  // the window asked the worker to end; nothing more is posted
    Running = 0,    // the worker works and may post
    Handed = 1,     // a result waits in the block until the window takes it back
};

// The block a window shares with one worker thread. Held through a shared_ptr by both,
// so a worker that outlives its window never touches freed memory. The window fills
// in hwnd and address before it starts the worker; text is the result a worker hands
// over in the block rather than in the posted message.
class ThreadLink {
public:
    WindowRef hwnd;
    std::unique_ptr<std::string> text;
    char address[64] = {};  // an IPv6 address with its zone fits

    ThreadLink() = default;
    ThreadLink(const ThreadLink&) = delete;
    ThreadLink& operator=(const ThreadLink&) = delete;

    WorkerState State() const { return state_.load(); }

    // Window side. Asks the worker to end and shuts its attached socket down, so a
    // connect, receive or poll blocked on it returns at once. Any thread, any number
    // of times; there is no way back.
    void Stop();
    // The window is done with a handed-over result: the worker goes on.
    void TakeBack();

    // Worker side. False once the window asked to stop.
    bool StopRequested() const { return State() == WorkerState::Stopping; }
    // The window still exists and has not asked to stop.
    bool MayGoOn() const { return !StopRequested() && hwnd.IsWindow(); }
    // The one way a worker posts: nothing goes once the window asked to stop or is
    // gone. True when the message was posted.
    bool Post(int message, std::string payload = {}) const;
    // Leaves result in text, marks it handed and posts `message`. When nothing could
    // be posted the result is dropped and false returned.
    bool HandOver(int message, std::string result);
    // After HandOver: waits until the window takes the result back (true), or asks
    // to stop or goes away (false).
    bool WaitUntilTakenBack(std::chrono::milliseconds poll = std::chrono::milliseconds(500));

    // The socket Stop shuts down, one at a time; the worker alone closes it, after
    // Detach. Attached after a stop request, it is shut down at once.
    void Attach(int fd);
    void Detach();

private:
    std::atomic<WorkerState> state_{WorkerState::Running};
    // Held while a socket is attached or detached and while Stop shuts it down, so
    // Stop never reaches a descriptor number that the worker has closed and the
    // process has handed out again.
    std::mutex lock_;
    std::condition_variable changed_;
    int socket_ = -1;
};

// A worker's socket, attached to its link for as long as it is open.
class LinkedSocket {
public:
    explicit LinkedSocket(ThreadLink& link) : link_(link) {}
    ~LinkedSocket() { Reset(); }
    LinkedSocket(const LinkedSocket&) = delete;
    LinkedSocket& operator=(const LinkedSocket&) = delete;

    // Closes the socket held so far and takes fd (when not negative) in its place.
    void Reset(int fd = -1);
    int fd() const { return fd_; }

private:
    ThreadLink& link_;
    int fd_ = -1;
};
