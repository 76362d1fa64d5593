#pragma once
#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

// One copy per user from the menu: the first copy listens on a Unix socket in a private
// folder of the user's, and the launcher asks it to show its window instead of starting
// a second copy. Only the request below is understood, only from the same user.
inline constexpr char SHOW_RUNNING_OPTION[] = "--show-running";
inline constexpr char SHOW_REQUEST[] = "show\n";
inline constexpr char SHOW_REPLY[] = "shown\n";

// The folder of the channel: $XDG_RUNTIME_DIR/tolvara, or /tmp/tolvara-UID where the
// session has no runtime folder.
std::string InstanceChannelDir();

// Asks the copy listening in `dir` to show its window; true once it has answered. Never
// waits longer than `limitMs` in all.
bool AskRunningCopyToShow(const std::string& dir, int limitMs = 5000);

class InstanceListener : public QObject {
public:
    // Listens in `dir` (made private to the user if missing) unless another copy does
    // already, or the folder is not the user's own alone: null then, and this copy runs
    // without the channel. `onShow` runs on the calling thread for every request.
    static std::unique_ptr<InstanceListener> Listen(const std::string& dir, std::function<void()> onShow);
    ~InstanceListener() override;

private:
    InstanceListener(std::string socketPath, int lockFd, int listenFd, std::function<void()> onShow);
    void AcceptPending();
    void Serve(int fd);
    void Drop(int fd);

    struct Connection;
    std::string socketPath_;
    int lockFd_;
    int listenFd_;
    std::function<void()> onShow_;
    QSocketNotifier* incoming_;
    std::vector<std::unique_ptr<Connection>> connections_;
};
