// scanfw-probe: captures what the updater would meet on this PC as one scenario file, changing
// nothing. The sections run in turn; a step that fails is noted in the file and the rest goes on.
#include "probe/probe_main.h"

#include <cstdio>
#include <cstring>

#include "app/dll_search.h"
#include "app/entry.h"
#include "app/messages.h"
#include "app/window_hold.h"
#include "probe/capture.h"

namespace {

constexpr int LANGUAGE_DIGITS = 4;
// Where a probe started from Explorer (double-clicked) writes: its own folder, which is the
// current one then. Its console window would close with the capture in it.
constexpr const char* DOUBLE_CLICKED_OUT = "scanfw-capture.json";
constexpr const char* PROGRAM_NAME = "scanfw-probe";
constexpr const char* USAGE =
    "usage: scanfw-probe [--out FILE] [--exe PATH] [--ask-scanner] [--help]\n"
    "Writes what the scanner updater would meet on this PC as a scenario file for scanfw-sim\n"
    "(UTF-8 JSON), to standard output or to FILE. Nothing on the PC is changed.\n"
    "  --out FILE     write the capture to FILE instead of standard output (started from\n"
    "                 Explorer: to scanfw-capture.json in the current folder)\n"
    "  --exe PATH     also read the firmware resources and version of the scanfw.exe at PATH\n"
    "  --ask-scanner  send the scanner one status query and keep its reply (otherwise nothing\n"
    "                 is ever sent to a device)\n";

enum class Exit { Written = 0, NotWritten = 1, BadCommandLine = 2 };

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

void Note(Capture& capture, const char* step, const char* call, const std::string& subject, DWORD error) {
    JsonValue note = JsonObject();
    Add(note, "step", JsonString(step));
    Add(note, "call", JsonString(call));
    Add(note, "subject", JsonString(subject));
    Add(note, "error", JsonNumber(error));
    Append(capture.notes, std::move(note));
}

void CaptureLanguage(Capture& capture) {
    Add(capture.scenario, "userLangId", JsonString(HexNumber(GetUserDefaultLangID(), LANGUAGE_DIGITS)));
}

void CaptureSystem(Capture& capture) {
    Add(capture.probe, "program", JsonString(PROGRAM_NAME));
    Add(capture.probe, "version", JsonString(SCANFW_PROBE_VERSION));
    SYSTEMTIME now;
    std::memset(&now, 0, sizeof now);
    GetSystemTime(&now);
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

// Captures the PC and writes the scenario file to `outPath`, or to standard output when it is "".
Exit WriteCapture(const ProbeOptions& options, const std::string& outPath) {
    Capture capture;
    CaptureSystem(capture);
    Add(capture.probe, "askedScanner", JsonBool(options.askScanner));
    CaptureLanguage(capture);
    const std::string scanner = CaptureDevices(capture, options);
    CaptureService(capture);
    CaptureImagingDevices(capture);
    CaptureLocks(capture, scanner);
    CaptureExecutable(capture, options.exePath);
    const std::string text = CaptureText(capture);

    if (outPath.empty()) {
        if (WriteAll(stdout, text))
            return Exit::Written;
        std::fprintf(stderr, "%s: cannot write standard output\n", PROGRAM_NAME);
        return Exit::NotWritten;
    }
    std::FILE* file = std::fopen(outPath.c_str(), "wb");
    bool written = file != nullptr && WriteAll(file, text);
    if (file != nullptr && std::fclose(file) != 0)
        written = false;
    if (!written) {
        std::fprintf(stderr, "%s: cannot write %s\n", PROGRAM_NAME, outPath.c_str());
        return Exit::NotWritten;
    }
    std::fprintf(stderr, "%s: wrote %s (%zu bytes, %zu failed steps noted)\n", PROGRAM_NAME, outPath.c_str(),
                 text.size(), capture.notes.items.size());
    return Exit::Written;
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
    // A window that Explorer opened closes the moment the probe ends: the capture goes to a file
    // beside it, and the window stays until a key is pressed, as the updater's does.
    const bool doubleClicked = outPath.empty() && OwnsConsoleAlone();
    if (doubleClicked)
        outPath = DOUBLE_CLICKED_OUT;
    const Exit exit = WriteCapture(options, outPath);
    if (doubleClicked) {
        MessageLanguage = MessageLanguageFor(GetUserDefaultLangID());
        HoldWindowForReading();
    }
    return static_cast<int>(exit);
}
