// The programs of the simulated host besides the one that runs: where the running program lies,
// the one program it may start (run beforehand on the same scenario, and served through a pipe
// and a process handle), the pipes and processes of the run, the registry values it writes and
// the searches of folders it makes. The deploy is the program that uses them; the updater never
// does, so none of this changes a run of the updater alone.
//
// How a started program runs: the tool that runs the deploy first runs the updater on the
// scenario, alone and with its output captured write by write (each flush of its C runtime, with
// the moment it came). CreateProcessA of that program's path then hands out a process whose
// writes reach the pipe given as its standard output at those moments after the start, each "\n"
// as "\r\n" (its C runtime writes text), and which ends, letting go of the pipe, when it ended
// alone, with its exit code. It never waits for the pipe: what it wrote is what it wrote alone.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/host_win32.h"

namespace sim {

// One write of a program's standard output: the bytes, and when, from the program's start.
struct OutputWrite {
    uint64_t atMs = 0;
    std::string bytes;
};

// A program that the running one may start, already run.
struct ChildProgram {
    std::string path;                 // the file it starts from, which must exist on the host
    std::vector<OutputWrite> output;  // its standard output, "\n" as the program wrote it
    uint64_t endMs = 0;               // how long it ran
    uint32_t exitCode = 0;
};

// What the running program finds about itself: set by whoever runs it.
struct ProgramSetup {
    std::string modulePath;  // what GetModuleFileNameA answers
    std::optional<ChildProgram> child;
};

// A pipe made by CreateNamedPipeW: its server end (one handle), its client ends (CreateFileW), and
// the started program's writes when it holds a client end as its standard output.
struct PipeObject {
    std::wstring name;
    bool serverOpen = true;
    int clientHandles = 0;
    bool childWrites = false;
    uint64_t childStartMs = 0;       // the run's time when the program started
    uint64_t childEndMs = 0;         // ... and when it ended, letting go of the pipe
    std::vector<OutputWrite> queue;  // the program's writes still to come, in the run's time
    size_t nextWrite = 0;
    std::string buffer;  // written, not yet read
    // The one read asked for with ReadFileEx and not yet completed.
    struct Read {
        LPVOID buffer = nullptr;
        DWORD size = 0;
        LPOVERLAPPED overlapped = nullptr;
        LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr;
        int thread = 0;  // whose alertable waits run its completion routine
    };
    std::optional<Read> read;
};

struct ProcessObject {
    uint64_t endMs = 0;  // the run's time when it ends
    uint32_t exitCode = 0;
};

struct LaunchArea {
    std::vector<PipeObject> pipes;          // by handle ref
    std::vector<ProcessObject> processes;   // by handle ref
    std::vector<std::string> commandLines;  // of every CreateProcessA that started a program
};

// A registry value written with RegSetKeyValueA: its type and bytes.
struct WrittenValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;
};
struct WrittenKeyArea {
    // key path below HKEY_LOCAL_MACHINE -> value name -> value; both as written.
    std::map<std::string, std::map<std::string, WrittenValue>> keys;
};

// A search of a folder (FindFirstFileA): the names that matched, the next one to hand out.
struct FolderSearch {
    std::string folder;
    std::vector<std::string> names;
    size_t next = 0;
};
struct FolderArea {
    std::vector<FolderSearch> searches;  // by handle ref
};

}  // namespace sim
