#include "app/CommandLine.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "platform/TextUtil.h"
#include "ports/CPortNameTable.h"
#include "res/Resource.h"

namespace {

// Qt's own options (QGuiApplication, QApplication and the X11 platform), which Qt takes
// with one dash or two, and whether the next argument is their value.
struct QtOption {
    std::string_view name;
    bool takesValue;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true},   {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"qwindowgeometry", true}, {"qwindowtitle", true},  {"qwindowicon", true},   {"session", true},
    {"display", true},    {"geometry", true},           {"title", true},         {"icon", true},
    {"name", true},       {"style", true},              {"stylesheet", true},    {"qmljsdebugger", true},
    {"fontengine", true}, {"dialogs", true},            {"reverse", false},      {"widgetcount", false},
    {"testability", false}, {"sync", false},            {"nograb", false},       {"dograb", false},
};

// Beyond this the command line says how many more lines were left out.
constexpr int kMaxProblemsShown = 1000;

const QtOption* FindQtOption(std::string_view name) {
    for (const QtOption& o : kQtOptions)
        if (o.name == name) return &o;
    return nullptr;
}

CommandLine BadUsage(std::string problem) {
    CommandLine c;
    c.action = CommandLine::Action::BadUsage;
    c.problem = std::move(problem);
    return c;
}

int Finish(FILE* stream, int status) { return std::fflush(stream) == 0 ? status : 1; }

int RunExport(ExportRequest request) {
    char cwd[PATH_MAX];
    request.folder = ::getcwd(cwd, sizeof cwd) ? cwd : ".";
    // The table the window would show: the folder's own services file first.
    const CPortNameTable portNames(JoinPath(request.folder, LOCAL_SERVICES_FILE), SYSTEM_SERVICES_FILE);
    int shown = 0;
    const ExportResult result = ExportHistory(request, portNames, [&](const ExportProblem& p) {
        if (shown >= kMaxProblemsShown) return;
        ++shown;
        if (p.line > 0) std::fprintf(stderr, "tolvara: %s:%d: %s\n", p.file.c_str(), p.line, LineProblemText(p.what));
        else std::fprintf(stderr, "tolvara: %s: %s\n", p.file.c_str(), LineProblemText(p.what));
    });
    if (result.problems > shown) std::fprintf(stderr, "tolvara: %d more lines left out\n", result.problems - shown);

    const char* output = request.output == "-" ? "standard output" : request.output.c_str();
    switch (result.error) {
        case ExportError::None: break;
        case ExportError::CannotReadFolder:
            std::fprintf(stderr, "tolvara: cannot read the folder %s: %s\n", request.folder.c_str(),
                         std::strerror(result.errorNumber));
            return 1;
        case ExportError::CannotWrite:
            std::fprintf(stderr, "tolvara: cannot write %s: %s\n", output, std::strerror(result.errorNumber));
            return 1;
        case ExportError::OutputIsLog:
            std::fprintf(stderr, "tolvara: %s is named like a daily log; choose another name\n", output);
            return 1;
    }
    if (result.files == 0) std::fprintf(stderr, "tolvara: no daily logs in %s for these days\n", request.folder.c_str());
    return 0;
}

}  // namespace

std::string UsageText() {
    return "Usage: tolvara [Qt options]\n"
           "       tolvara --export-log FILE [--from YYYYMMDD] [--to YYYYMMDD] [--bom] [--format csv|jsonl]\n"
           "       tolvara --help | --version\n"
           "\n"
           "Without options Tolvara starts its window and tray icon; its files are in the\n"
           "current folder.\n"
           "\n"
           "  --export-log FILE   write the connection history of the daily logs of the\n"
           "                      current folder (YYYYMMDD_tolvara.log) to FILE, one record\n"
           "                      per log line: CSV for a name ending in .csv, JSON Lines\n"
           "                      for .jsonl or .json; - writes to standard output\n"
           "  --from YYYYMMDD     only the logs of that day and later\n"
           "  --to YYYYMMDD       only the logs of that day and earlier\n"
           "  --bom               begin the CSV text with a UTF-8 byte-order mark, for\n"
           "                      spreadsheet programs that need one\n"
           "  --format csv|jsonl  the format whatever FILE is named (CSV for - without it)\n"
           "  -h, --help          show this text\n"
           "  -v, --version       show the version\n"
           "\n"
           "Qt's own options, such as -platform NAME, -display DISPLAY or -style NAME, are\n"
           "passed on to Qt.\n";
}

std::string VersionText() { return "Tolvara " TOLVARA_VERSION "\n"; }

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    bool help = false, version = false, exporting = false, formatGiven = false;
    bool exportOption = false;  // one of the options that go with --export-log
    std::string formatName;
    ExportRequest request;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') return BadUsage("unexpected argument '" + std::string(arg) + "'");
        const std::string_view bare = arg.substr(arg[1] == '-' ? 2 : 1);
        const size_t equals = bare.find('=');
        const std::string_view name = bare.substr(0, equals);
        const bool ours = arg.starts_with("--");
        // The value of an option: after '=', or the next argument.
        auto value = [&](std::string& out) {
            if (equals != std::string_view::npos) out = bare.substr(equals + 1);
            else if (i + 1 < argc) out = argv[++i];
            else return false;
            return true;
        };
        std::string v;
        if ((ours && name == "help") || arg == "-h") {
            help = true;
        } else if ((ours && name == "version") || arg == "-v") {
            version = true;
        } else if (ours && name == "export-log") {
            if (exporting) return BadUsage("--export-log is given twice");
            if (!value(request.output) || request.output.empty()) return BadUsage("--export-log needs a file name");
            exporting = true;
        } else if (ours && (name == "from" || name == "to")) {
            int& date = name == "from" ? request.fromDate : request.toDate;
            if (!value(v) || !ParseLogDate(v, date))
                return BadUsage("--" + std::string(name) + " needs a day as YYYYMMDD, not '" + v + "'");
            exportOption = true;
        } else if (ours && name == "bom" && equals == std::string_view::npos) {
            request.byteOrderMark = true;
            exportOption = true;
        } else if (ours && name == "format") {
            if (!value(formatName) || (formatName != "csv" && formatName != "jsonl"))
                return BadUsage("--format is csv or jsonl");
            formatGiven = exportOption = true;
        } else if (const QtOption* qt = FindQtOption(name)) {
            if (qt->takesValue ? !value(v) : equals != std::string_view::npos)
                return BadUsage("the Qt option " + std::string(arg) + " needs a value");
        } else {
            return BadUsage("unknown option '" + std::string(arg) + "'");
        }
    }
    CommandLine c;
    if (help) c.action = CommandLine::Action::Help;
    else if (version) c.action = CommandLine::Action::Version;
    if (help || version) return c;
    if (exportOption && !exporting) return BadUsage("--from, --to, --bom and --format go with --export-log");
    if (!exporting) return c;
    if (request.fromDate > request.toDate) return BadUsage("--from is a later day than --to");
    if (formatGiven) {
        request.format = formatName == "csv" ? ExportFormat::Csv : ExportFormat::JsonLines;
    } else if (request.output == "-") {
        request.format = ExportFormat::Csv;
    } else if (!ExportFormatForName(request.output, request.format)) {
        return BadUsage("cannot tell the format of " + request.output +
                        ": name it .csv, .jsonl or .json, or give --format");
    }
    c.action = CommandLine::Action::Export;
    c.request = std::move(request);
    return c;
}

std::optional<int> RunCommandLine(int argc, const char* const* argv) {
    const CommandLine c = ParseCommandLine(argc, argv);
    switch (c.action) {
        case CommandLine::Action::RunWindow: return std::nullopt;
        case CommandLine::Action::Help:
            std::fputs(UsageText().c_str(), stdout);
            return Finish(stdout, 0);
        case CommandLine::Action::Version:
            std::fputs(VersionText().c_str(), stdout);
            return Finish(stdout, 0);
        case CommandLine::Action::BadUsage:
            std::fprintf(stderr, "tolvara: %s\n\n%s", c.problem.c_str(), UsageText().c_str());
            return 2;
        case CommandLine::Action::Export: return RunExport(c.request);
    }
    return 2;
}
