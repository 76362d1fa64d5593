#pragma once
// The program's own options. Everything they ask for runs without a window and
// without a display; without them the window starts and Qt takes its own options.
#include <optional>
#include <string>

#include "log/HistoryExport.h"

struct CommandLine {
    enum class Action { RunWindow, Help, Version, Export, BadUsage };
    Action action = Action::RunWindow;
    std::string problem;    // what is wrong, for BadUsage
    ExportRequest request;  // for Export; the folder is left to the caller
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

std::string UsageText();
std::string VersionText();

// Runs what the command line asks for unless it is the window: the exit status, or
// nothing when the window is to start.
std::optional<int> RunCommandLine(int argc, const char* const* argv);
