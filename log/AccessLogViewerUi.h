#pragma once
#include <string>

class QWidget;

// Shows a log file read-only in a window of the program's own, for desktops without a
// program for text files. One such window at a time: showing again reloads it.
void ShowAccessLogViewer(QWidget* owner, const std::string& path);
