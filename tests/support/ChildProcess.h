#pragma once
// A program a test starts: its output goes to a file, it dies with the test process,
// and it is ended (SIGTERM, then SIGKILL) when the object goes.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class ChildProcess {
public:
    // env entries ("NAME=value") are set on top of the test's own environment.
    ChildProcess(const std::vector<std::string>& argv, const std::string& cwd, const std::string& outputFile,
                 const std::vector<std::string>& env = {}, int keepFd = -1);
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool Running();
    // The wait status once the program has ended by itself within the limit.
    std::optional<int> WaitExit(std::chrono::milliseconds limit);
    void Signal(int sig) const;
    void Stop();

private:
    pid_t pid_ = -1;
};

// Starts a program with `start` (which emplaces `child`) and waits up to `limit` for
// `ready`; one that ends or is not ready by then is stopped and started once more. The
// desktop tests' X server, window manager and panel can each take many seconds to come
// up on a loaded machine, and now and then one does not come up at all.
bool StartWithOneRetry(std::optional<ChildProcess>& child, const std::function<void()>& start,
                       const std::function<bool()>& ready, std::chrono::milliseconds limit = std::chrono::seconds(30));
