// scanfw-deploy: runs the scanfw.exe beside it for a deployment engine, passes its output on,
// records the run and tells its outcome by the exit code.
#include "deploy/deploy_main.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/entry.h"
#include "app/messages.h"
#include "app/printed_messages.h"
#include "app/scanner_search.h"
#include "deploy/console_wait.h"
#include "deploy/detection.h"
#include "deploy/launch.h"
#include "deploy/log_folder.h"
#include "deploy/outcome.h"
#include "deploy/record.h"
#include "deploy/utc_time.h"

namespace {

constexpr const char* PROGRAM_NAME = "scanfw-deploy";
constexpr const char* UPDATER_FILE = "scanfw.exe";
// Under %ProgramData%, unless --log-dir names another folder.
constexpr const char* PROGRAM_DATA_VARIABLE = "ProgramData";
constexpr const char* LOG_FOLDER_NAMES[] = {"scanfw", "logs"};
constexpr DWORD FIRST_PATH_SIZE = MAX_PATH;
constexpr DWORD LONGEST_PATH = 32768;
constexpr const char* USAGE =
    "usage: scanfw-deploy [--log-dir DIR] [--] [ARG...]\n"
    "       scanfw-deploy --check\n"
    "Runs the scanfw.exe beside it with ARG..., passes its output on, records the run and exits\n"
    "with the code of its outcome (docs/deploying.md lists them).\n"
    "  --log-dir DIR  write the record there instead of %ProgramData%\\scanfw\\logs\n"
    "  --check        change nothing: exit 0 when a scanner is connected, 10 when none is\n"
    "  --help         this text\n";

struct Options {
    bool check = false;
    bool help = false;
    std::string logDir;
    std::vector<std::string> updaterArguments;
};

// The deploy's own options come first; the first other argument, or everything after "--", is
// scanfw.exe's. Any other word starting with "--" before that is a mistake: scanfw.exe's own
// options have one dash.
bool ReadOptions(int argc, char* argv[], Options& options) {
    bool logDirGiven = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i] == nullptr ? "" : argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--help" || arg == "/?") {
            options.help = true;
        } else if (arg == "--check") {
            options.check = true;
        } else if (arg == "--log-dir") {
            if (logDirGiven || i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '\0')
                return false;
            logDirGiven = true;
            options.logDir = argv[++i];
        } else if (arg.rfind("--", 0) == 0) {
            return false;
        } else {
            break;
        }
    }
    for (; i < argc; ++i) options.updaterArguments.push_back(argv[i] == nullptr ? "" : argv[i]);
    return !(options.check && (logDirGiven || !options.updaterArguments.empty()));
}

void Say(const std::string& line) {
    std::fprintf(stderr, "%s: %s\n", PROGRAM_NAME, line.c_str());
}

// The path of this exe; empty (the error in `error`) when it cannot be had.
std::string OwnPath(DWORD& error) {
    for (DWORD size = FIRST_PATH_SIZE; size <= LONGEST_PATH; size *= 2) {
        std::string path(size, '\0');
        const DWORD length = GetModuleFileNameA(nullptr, path.data(), size);
        error = GetLastError();
        if (length == 0)
            return "";
        if (length < size) {
            path.resize(length);
            return path;
        }
    }
    return "";
}

std::string Beside(const std::string& self, const char* name) {
    const size_t folderEnd = self.find_last_of("\\/");
    return folderEnd == std::string::npos ? name : self.substr(0, folderEnd + 1) + name;
}

std::string ComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : "unknown-computer";
}

// scanfw.exe's output on the deploy's standard output as it came. Both are C runtime streams in
// text mode: each "\r\n" scanfw.exe's runtime made of a "\n" is handed on as "\n", which the
// deploy's runtime makes "\r\n" again, so the bytes that reach a console or a file are the same.
class PassOn {
public:
    void Write(std::string_view piece) {
        std::string text;
        text.reserve(piece.size() + 1);
        for (char c : piece) {
            if (carriageReturn_ && c != '\n')
                text += '\r';
            carriageReturn_ = c == '\r';
            if (!carriageReturn_)
                text += c;
        }
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    void Finish() {
        if (carriageReturn_)
            std::fputc('\r', stdout);
        carriageReturn_ = false;
        std::fflush(stdout);
    }

private:
    bool carriageReturn_ = false;
};

std::string LogFolder(const Options& options) {
    if (!options.logDir.empty())
        return options.logDir;
    const char* programData = std::getenv(PROGRAM_DATA_VARIABLE);
    if (programData == nullptr || *programData == '\0')
        return "";
    std::string folder = programData;
    for (const char* name : LOG_FOLDER_NAMES) folder = PathIn(folder, name);
    return folder;
}

// The log and the JSON document; a failure is said and changes nothing else.
void WriteRecord(const Options& options, const RunRecord& record, const SYSTEMTIME& started) {
    const std::string folder = LogFolder(options);
    if (folder.empty()) {
        Say("no record written: %ProgramData% is not set (give --log-dir)");
        return;
    }
    DWORD error = ERROR_SUCCESS;
    if (!MakeFolder(folder, error)) {
        Say("no record written: the folder " + folder + " cannot be made (error " + std::to_string(error) + ")");
        return;
    }
    const std::string computer = ComputerName();
    const std::string name = FreeRecordName(folder, CompactTime(started), computer);
    const std::string log = PathIn(folder, name + ".log");
    if (!WriteNewFile(log, LogText(record)) || !WriteNewFile(PathIn(folder, name + ".json"), JsonRecord(record))) {
        Say("the record " + PathIn(folder, name) + ".log/.json could not be written whole");
        return;
    }
    KeepNewestRecords(folder, computer);
    Say("record: " + log);
}

int Check() {
    MessageLanguage = MessageLanguageFor(GetUserDefaultLangID());
    FoundScanner found;
    if (FindScanner(found)) {
        // The search leaves the scanner it found open; nothing is sent to it.
        CloseHandle(found.device);
        std::printf("%s: a scanner is connected (%s)\n", PROGRAM_NAME, found.name);
        return 0;
    }
    std::printf("%s: no scanner connected\n", PROGRAM_NAME);
    return static_cast<int>(InfoOf(Outcome::NoScanner).exitCode);
}

int Deploy(const Options& options) {
    const SYSTEMTIME started = UtcNow();
    RunRecord record;
    record.started = IsoTime(started, true);
    record.deployVersion = SCANFW_DEPLOY_VERSION;
    record.arguments = options.updaterArguments;
    DWORD pathError = ERROR_SUCCESS;
    const std::string self = OwnPath(pathError);
    if (!self.empty())
        record.updaterPath = Beside(self, UPDATER_FILE);
    if (!SurviveConsoleEvents())
        Say("the console's events could end this run before its record (error " + std::to_string(GetLastError()) + ")");

    PassOn passOn;
    if (self.empty()) {
        record.run.failedCall = "GetModuleFileNameA";
        record.run.error = pathError;
    } else {
        record.run = RunUpdater(record.updaterPath, record.arguments, [&](std::string_view p) { passOn.Write(p); });
        passOn.Finish();
    }
    record.messages = PrintedMessages(record.run.output, GetUserDefaultLangID());
    // Output that a failed call cut short tells no outcome.
    record.outcome = record.run.failedCall != nullptr
                         ? Outcome::UpdaterFailed
                         : OutcomeOfRun(record.run.started, record.run.exitCode, record.messages);
    const SYSTEMTIME ended = UtcNow();
    record.ended = IsoTime(ended, true);
    ConvertOutput(record);
    // Read once the update is over, so that it starts at once: scanfw.exe carries its images.
    if (!self.empty()) {
        record.deploy = FactsOf(self);
        record.updater = FactsOf(record.updaterPath);
    }

    const OutcomeInfo& outcome = InfoOf(record.outcome);
    WriteRecord(options, record, started);
    std::string problem;
    if (!WriteDetection(record.updater.version, outcome.name, outcome.exitCode, IsoTime(ended, false), problem))
        Say("detection value not written: " + problem);
    if (record.run.failedCall != nullptr)
        Say(std::string(record.run.failedCall) + " failed with error " + std::to_string(record.run.error));
    Say(std::string(outcome.name) + ", exit code " + std::to_string(outcome.exitCode) + ": " + outcome.meaning);
    RecordWritten();
    return static_cast<int>(outcome.exitCode);
}

}  // namespace

int DeployMain(int argc, char* argv[]) {
    // Before anything else: DLLs are loaded from System32 alone, never from this exe's folder.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        Say("the DLL search could not be restricted (error " + std::to_string(GetLastError()) + ")");
    Options options;
    if (!ReadOptions(argc, argv, options)) {
        std::fputs(USAGE, stderr);
        return static_cast<int>(EXIT_BAD_COMMAND_LINE);
    }
    if (options.help) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    return options.check ? Check() : Deploy(options);
}
