// scanfw-probe: captures what the updater would meet on this PC as one scenario file, changing
// nothing. The sections run in turn; a step that fails is noted in the file and the rest goes on.
#include "probe/probe_main.h"

#include <cstdio>
#include <cstring>

#include "app/dll_search.h"
#include "app/messages.h"
#include "app/window_hold.h"
#include "probe/capture.h"
#include "probe/capture_file.h"

namespace {

constexpr int LANGUAGE_DIGITS = 4;
constexpr const char* PROGRAM_NAME = "scanfw-probe";
constexpr const char* USAGE =
    "usage: scanfw-probe [--out FILE] [--exe PATH] [--ask-scanner] [--help]\n"
    "Writes what the scanner updater would meet on this PC as a scenario file for scanfw-sim\n"
    "(UTF-8 JSON), to standard output or to FILE. Nothing on the PC is changed.\n"
    "  --out FILE     write the capture to FILE instead of standard output: a file on a disk,\n"
    "                 written whole or not at all and replaced if it exists; never a device\n"
    "                 (NUL, CON, COM1, \\\\.\\..., a pipe) or a folder. Started from Explorer\n"
    "                 the probe writes scanfw-capture-YYYYMMDD-HHMMSS.json (UTC) in the current\n"
    "                 folder, with -2, -3, ... added rather than replace a file\n"
    "  --exe PATH     also read the firmware resources and version of the scanfw.exe at PATH\n"
    "                 (relative to the current folder); a file that is no whole executable,\n"
    "                 or whose resources reach past its end, is noted, never read past\n"
    "  --ask-scanner  send the scanner one status query and keep its reply (otherwise nothing\n"
    "                 is ever sent to a device)\n"
    "Exit code: 0 written (every step that failed is noted in the capture), 1 not written,\n"
    "2 a bad command line.\n";

using Exit = ProbeExit;

// Every option at most once; a bad command line is refused before anything is looked at.
bool ReadOptions(int argc, char* argv[], ProbeOptions& options, std::string& outPath, bool& help) {
    bool outGiven = false;
    bool exeGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] == nullptr ? "" : argv[i];
        auto value = [&](bool& given, std::string& into) {
            if (given || i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '\0')
                return false;
            given = true;
            into = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h" || arg == "/?") {
            help = true;
        } else if (arg == "--ask-scanner" && !options.askScanner) {
            options.askScanner = true;
        } else if (arg == "--out") {
            if (!value(outGiven, outPath))
                return false;
        } else if (arg == "--exe") {
            if (!value(exeGiven, options.exePath))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

bool WriteAll(std::FILE* file, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
}

}  // namespace

void Note(Capture& capture, const char* step, const char* call, const std::string& subject, DWORD error,
          const std::string& found) {
    JsonValue note = JsonObject();
    Add(note, "step", JsonString(step));
    Add(note, "call", JsonString(call));
    Add(note, "subject", JsonString(subject));
    Add(note, "error", JsonNumber(error));
    if (!found.empty())
        Add(note, "found", JsonString(found));
    Append(capture.notes, std::move(note));
}

void CaptureLanguage(Capture& capture) {
    Add(capture.scenario, "userLangId", JsonString(HexNumber(GetUserDefaultLangID(), LANGUAGE_DIGITS)));
}

void CaptureSystem(Capture& capture, const SYSTEMTIME& now) {
    Add(capture.probe, "program", JsonString(PROGRAM_NAME));
    Add(capture.probe, "version", JsonString(SCANFW_PROBE_VERSION));
    char time[64];
    std::snprintf(time, sizeof time, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    Add(capture.probe, "time", JsonString(time));
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (GetVersionExA(&version)) {
        char text[64];
        std::snprintf(text, sizeof text, "%lu.%lu.%lu", static_cast<unsigned long>(version.dwMajorVersion),
                      static_cast<unsigned long>(version.dwMinorVersion),
                      static_cast<unsigned long>(version.dwBuildNumber));
        Add(capture.probe, "windows", JsonString(text));
        version.szCSDVersion[sizeof version.szCSDVersion - 1] = '\0';
        if (version.szCSDVersion[0] != '\0')
            Add(capture.probe, "servicePack", JsonString(version.szCSDVersion));
    } else {
        Note(capture, "system", "GetVersionExA", "", GetLastError());
        Add(capture.probe, "windows", JsonValue{});
    }
}

std::string CaptureText(const Capture& capture) {
    JsonValue document = capture.scenario;
    JsonValue probe = capture.probe;
    Add(probe, "notes", capture.notes);
    Add(document, "probe", std::move(probe));
    return JsonText(document);
}

namespace {

// Captures the PC and writes the scenario file to `target`, or to standard output when there is none.
Exit WriteCapture(const ProbeOptions& options, const SYSTEMTIME& now, const CaptureTarget* target) {
    Capture capture;
    CaptureSystem(capture, now);
    Add(capture.probe, "askedScanner", JsonBool(options.askScanner));
    CaptureLanguage(capture);
    const std::string scanner = CaptureDevices(capture, options);
    CaptureService(capture);
    CaptureImagingDevices(capture);
    CaptureLocks(capture, scanner);
    CaptureExecutable(capture, options.exePath);
    CaptureUpdateGuard(capture);
    const std::string text = CaptureText(capture);

    if (target != nullptr)
        return WriteCaptureFile(text, *target, capture.notes.items.size());
    if (WriteAll(stdout, text))
        return Exit::Written;
    std::fprintf(stderr, "%s: cannot write standard output\n", PROGRAM_NAME);
    return Exit::NotWritten;
}

}  // namespace

int ProbeMain(int argc, char* argv[]) {
    RestrictDllSearch();
    ProbeOptions options;
    std::string outPath;
    bool help = false;
    if (!ReadOptions(argc, argv, options, outPath, help)) {
        std::fputs(USAGE, stderr);
        return static_cast<int>(Exit::BadCommandLine);
    }
    if (help) {
        std::fputs(USAGE, stdout);
        return static_cast<int>(Exit::Written);
    }
    CaptureTarget target;
    if (!outPath.empty()) {
        const Exit checked = CheckOutTarget(outPath, target);
        if (checked != Exit::Written)
            return static_cast<int>(checked);
    }
    // One moment for the capture's time and the name of the file a double-click writes.
    SYSTEMTIME now;
    std::memset(&now, 0, sizeof now);
    GetSystemTime(&now);
    // A window that Explorer opened closes the moment the probe ends: the capture goes to a file
    // beside it, and the window stays until a key is pressed, as the updater's does.
    const bool doubleClicked = outPath.empty() && OwnsConsoleAlone();
    Exit exit = doubleClicked ? DoubleClickTarget(now, target) : Exit::Written;
    if (exit == Exit::Written)
        exit = WriteCapture(options, now, outPath.empty() && !doubleClicked ? nullptr : &target);
    if (doubleClicked) {
        MessageLanguage = MessageLanguageFor(GetUserDefaultLangID());
        HoldWindowForReading();
    }
    return static_cast<int>(exit);
}
