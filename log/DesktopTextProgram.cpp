#include "log/DesktopTextProgram.h"

#include <QObject>
#include <QProcess>
#include <QTimer>
#include <cstdlib>
#include <unistd.h>
#include <vector>

#include "platform/FileUtil.h"

namespace {

// A desktop entry of a sane size; a larger file is no entry of ours to read.
constexpr size_t kMaxEntryBytes = 64 * 1024;

std::string Trimmed(const std::string& s) {
    const size_t begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return {};
    return s.substr(begin, s.find_last_not_of(" \t\r") - begin + 1);
}

std::vector<std::string> DataDirs() {
    std::vector<std::string> dirs;
    if (const char* home = std::getenv("XDG_DATA_HOME"); home && home[0] == '/') dirs.emplace_back(home);
    else if (const char* h = std::getenv("HOME"); h && h[0] == '/') dirs.push_back(std::string(h) + "/.local/share");
    const char* system = std::getenv("XDG_DATA_DIRS");
    std::string list = system && *system ? system : "/usr/local/share:/usr/share";
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(':', start), list.size());
        const std::string dir = list.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/') dirs.push_back(dir);  // relative entries are not valid
        start = end + 1;
    }
    return dirs;
}

// An id is a file name, never a path.
bool ValidDesktopId(const std::string& id) {
    const std::string suffix = ".desktop";
    return id.size() > suffix.size() && id.size() < 256 && id.compare(id.size() - suffix.size(), suffix.size(), suffix) == 0 &&
           id.find('/') == std::string::npos && id[0] != '.';
}

// Asks xdg-mime, then runs xdg-open; owned by the caller's context and gone once both
// have ended and the answer is given.
class DesktopOpen : public QObject {
public:
    DesktopOpen(std::string path, QObject* context, std::function<void(bool)> done, DesktopOpenLimits limits)
        : QObject(context), path_(std::move(path)), done_(std::move(done)), limits_(limits) {
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, [this] { OnTimeLimit(); });
        Run(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("text/plain")},
            limits_.queryMs);
    }

private:
    void Run(const QString& program, const QStringList& args, int limitMs) {
        process_ = new QProcess(this);
        process_->setStandardInputFile(QProcess::nullDevice());
        process_->setStandardErrorFile(QProcess::nullDevice());
        if (!querying_) process_->setStandardOutputFile(QProcess::nullDevice());
        // A session of its own: the program it starts lives on apart from our terminal.
        process_->setChildProcessModifier([] { ::setsid(); });
        connect(process_, &QProcess::finished, this,
                [this](int code, QProcess::ExitStatus status) { OnEnded(status == QProcess::NormalExit && code == 0); });
        connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart) OnEnded(false);
        });
        timer_.start(limitMs);
        process_->start(program, args);
    }

    void OnEnded(bool succeeded) {
        timer_.stop();
        if (answered_) {  // the opener ended after its time limit
            deleteLater();
            return;
        }
        if (!querying_) return Answer(succeeded);
        querying_ = false;
        const std::string answer = succeeded ? process_->read(256).toStdString() : std::string();
        process_->deleteLater();
        const std::string id = Trimmed(answer.substr(0, answer.find('\n')));
        // No program for text files: xdg-open would fall back to $EDITOR, a terminal one.
        if (!ValidDesktopId(id)) return Answer(false);
        const std::string entry = FindDesktopEntry(id);
        if (!entry.empty() && DesktopEntryNeedsTerminal(entry)) return Answer(false);
        Run(QStringLiteral("xdg-open"), {QString::fromStdString(path_)}, limits_.openMs);
    }

    void OnTimeLimit() {
        if (querying_) {
            process_->kill();
            Answer(false);
        } else {
            Answer(true);  // still busy: it waits for the program that shows the file
        }
    }

    void Answer(bool shown) {
        answered_ = true;
        done_(shown);
        if (process_->state() == QProcess::NotRunning) deleteLater();
    }

    std::string path_;
    std::function<void(bool)> done_;
    DesktopOpenLimits limits_;
    QTimer timer_;
    QProcess* process_ = nullptr;
    bool querying_ = true;
    bool answered_ = false;
};

}  // namespace

std::string FindDesktopEntry(const std::string& id) {
    if (!ValidDesktopId(id)) return {};
    for (const std::string& dir : DataDirs()) {
        const std::string path = dir + "/applications/" + id;
        if (const int fd = OpenRegularFileForReading(path); fd >= 0) {
            ::close(fd);
            return path;
        }
    }
    return {};
}

bool DesktopEntryNeedsTerminal(const std::string& path) {
    std::string content;
    if (!ReadRegularFile(path, kMaxEntryBytes, content)) return false;
    bool inEntry = false;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        const std::string line = Trimmed(content.substr(start, end - start));
        start = end + 1;
        if (!line.empty() && line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const size_t eq = line.find('=');
        if (inEntry && eq != std::string::npos && Trimmed(line.substr(0, eq)) == "Terminal")
            return Trimmed(line.substr(eq + 1)) == "true";
    }
    return false;
}

void OpenWithDesktopTextProgram(const std::string& path, QObject* context, std::function<void(bool shown)> done,
                                DesktopOpenLimits limits) {
    new DesktopOpen(path, context, std::move(done), limits);
}
