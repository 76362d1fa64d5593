#pragma once
#include <functional>
#include <string>

// A fresh empty directory under the system's temporary folder, removed with its
// contents when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);

// The application object of a test that needs Qt's event loop but no widgets; made once.
void EnsureCoreApp();
// Serves the event loop until done() holds or the limit passes; returns done().
bool ServeEventsUntil(const std::function<bool()>& done, int limitMs);
