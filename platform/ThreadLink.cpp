#include "platform/ThreadLink.h"

#include <sys/socket.h>
#include <unistd.h>

void ThreadLink::Stop() {
    std::lock_guard<std::mutex> guard(lock_);
    state_.store(WorkerState::Stopping);
    // Shut down, not closed: the descriptor stays the worker's until it lets go of it.
    if (socket_ >= 0) (void)::shutdown(socket_, SHUT_RDWR);
    changed_.notify_all();
}

void ThreadLink::TakeBack() {
    std::lock_guard<std::mutex> guard(lock_);
    WorkerState handed = WorkerState::Handed;
    state_.compare_exchange_strong(handed, WorkerState::Running);
    changed_.notify_all();
}

bool ThreadLink::Post(int message, std::string payload) const {
    return !StopRequested() && hwnd.PostMessage(message, 0, std::move(payload));
}

bool ThreadLink::HandOver(int message, std::string result) {
    text = std::make_unique<std::string>(std::move(result));
    WorkerState running = WorkerState::Running;
    if (state_.compare_exchange_strong(running, WorkerState::Handed) && Post(message)) return true;
    text.reset();
    return false;
}

bool ThreadLink::WaitUntilTakenBack(std::chrono::milliseconds poll) {
    // A window that goes away says nothing to this block, so that is polled; outside
    // the lock, as a window's sink may run under its own lock and call TakeBack.
    while (hwnd.IsWindow()) {
        std::unique_lock<std::mutex> guard(lock_);
        if (changed_.wait_for(guard, poll, [this] { return State() != WorkerState::Handed; }))
            return State() == WorkerState::Running;
    }
    return false;
}

void ThreadLink::Attach(int fd) {
    std::lock_guard<std::mutex> guard(lock_);
    socket_ = fd;
    if (StopRequested() && fd >= 0) (void)::shutdown(fd, SHUT_RDWR);
}

void ThreadLink::Detach() {
    std::lock_guard<std::mutex> guard(lock_);
    socket_ = -1;
}

void LinkedSocket::Reset(int fd) {
    if (fd_ >= 0) {
        link_.Detach();
        ::close(fd_);
    }
    fd_ = fd;
    if (fd_ >= 0) link_.Attach(fd_);
}
