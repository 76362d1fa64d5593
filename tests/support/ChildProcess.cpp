#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& cwd,
                           const std::string& outputFile, const std::vector<std::string>& env, int keepFd) {
    pid_ = ::fork();
    if (pid_ != 0) return;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
    }
    for (int fd = 3; fd < 256; ++fd)
        if (fd != keepFd) ::close(fd);
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

bool ChildProcess::Running() { return pid_ > 0 && !WaitExit(std::chrono::milliseconds(0)); }

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return status;
        }
        if (std::chrono::steady_clock::now() >= end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

void ChildProcess::Signal(int sig) const {
    if (pid_ > 0) ::kill(pid_, sig);
}

void ChildProcess::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (WaitExit(std::chrono::milliseconds(3000))) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool StartWithOneRetry(std::optional<ChildProcess>& child, const std::function<void()>& start,
                       const std::function<bool()>& ready, std::chrono::milliseconds limit) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        child.reset();
        start();
        const auto end = std::chrono::steady_clock::now() + limit;
        while (true) {
            if (ready()) return true;
            if (std::chrono::steady_clock::now() >= end || !child || !child->Running()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    return false;
}
