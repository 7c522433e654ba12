// A scenario: the simulated Windows host that one run of the updater meets. Every member of the
// scenario file has a field here, already checked and with its default filled in.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

// A scenario that cannot be read or is invalid. what() is one line: "FILE: FIELD: problem".
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr size_t REPLY_BYTES = 32;
using ReplyBytes = std::array<uint8_t, REPLY_BYTES>;

enum class FaultKind { Fail, NoSignal, ResultFails, Short, Long };

struct TransferFault {
    bool onRead = false;  // false: the Kth write (commands and image writes alike)
    uint32_t n = 1;       // counts that operation on the device, from 1
    FaultKind kind = FaultKind::Fail;
};

struct ScannerSpec {
    std::vector<ReplyBytes> ready;     // status queries with subcode 2, in order
    std::vector<ReplyBytes> download;  // the download command; the last entry repeats
    std::vector<ReplyBytes> progress;  // status queries with subcode 8, in order
    std::vector<TransferFault> faults;
};

enum class OpenMode { Ok, Denied, Busy };

struct DeviceSpec {
    int index = 0;
    OpenMode open = OpenMode::Ok;
    bool descriptorFails = false;
    uint8_t descriptorLength = 8;  // how many bytes of the 8-byte descriptor the device answers with
    uint16_t vid = 0x2A7B;
    uint16_t pid = 0x41C3;
    uint16_t bcd = 0x0100;
    ScannerSpec scanner;
};

struct ServiceSpec {
    bool exists = true;
    bool managerDenied = false;
    bool serviceDenied = false;
    uint32_t state = 4;             // SERVICE_RUNNING
    uint32_t controlsAccepted = 7;  // while in the initial state
    uint32_t startType = 2;         // SERVICE_AUTO_START
    uint32_t waitHint = 1000;       // in every pending state
    int64_t pendingQueries = 1;     // -1: a pending state never ends
};

struct RegValue {
    std::string name;   // as written; value names compare without regard to case
    uint32_t type = 1;  // REG_SZ
    std::vector<uint8_t> data;
};

struct InstanceSpec {
    bool accessDenied = false;
    std::vector<RegValue> values;
};

struct MutexSpec {
    std::string name;
    std::optional<uint64_t> releaseAfterMs;
    bool accessDenied = false;
};

enum class ResourceMode { Present, Missing, LoadFails, LockFails };

struct ResourceSpec {
    ResourceMode mode = ResourceMode::Present;
    uint32_t size = 0;
    // The byte at size / 2 changed (xor 0xFF) after the executable's digest of the image was taken.
    bool damaged = false;
};

// The updater's executable as a program that reads it as a file (the probe's --exe) finds it on
// the disk; the updater's own run is as `resources` says whatever this is.
enum class ExeFile { Whole, Truncated, NotExecutable, Folder, ImagePastEnd };

struct FailureSpec {
    std::string call;
    uint32_t nth = 1;               // from the Kth call of the run
    uint32_t count = 1;             // for this many calls; 0: every later call
    std::optional<uint32_t> error;  // the function's default when absent
};

enum class ConsoleEvent { CtrlC, CtrlBreak, Close };

struct InterruptSpec {
    ConsoleEvent event = ConsoleEvent::CtrlC;
    uint64_t atMs = 0;  // counted from the start of the run
};

struct ConsoleSpec {
    uint32_t processes = 2;   // what GetConsoleProcessList reports: 1 when started from Explorer
    bool redirected = false;  // standard input and output are a pipe or a file
    std::vector<InterruptSpec> interrupts;
};

struct Scenario {
    std::string source = "<built-in>";  // the file or built-in name, for messages
    uint16_t userLangId = 0x0409;
    uint32_t tickStart = 0x00100000;
    std::vector<std::string> args;
    std::vector<DeviceSpec> devices;
    ServiceSpec service;
    std::map<int, InstanceSpec> imagingDevices;  // instance number 0..9999
    std::vector<MutexSpec> mutexes;
    std::map<int, ResourceSpec> resources;  // always holds 121 and 131
    ExeFile exeFile = ExeFile::Whole;
    std::vector<FailureSpec> failures;
    ConsoleSpec console;
    bool otherUpdater = false;  // another scanfw.exe holds its update guard for the whole run
};

// The mutex that another scanfw.exe on the PC holds while it updates a scanner (otherUpdater):
// owned by BUILTIN\Administrators, open to SYSTEM and administrators alone.
constexpr const char* OTHER_UPDATER_GUARD_NAME = "Global\\scanfw-update-guard-{239B3856-0074-486A-9C1A-93BBFA4AD465}";

constexpr uint32_t IMAGE_121_SIZE = 8388608;
constexpr uint32_t IMAGE_131_SIZE = 13633428;

// Parses and checks a scenario; throws ScenarioError naming `source` and the field.
Scenario ParseScenario(const std::string& jsonText, const std::string& source);
// Reads a scenario file; a file that cannot be read is a ScenarioError too.
Scenario LoadScenarioFile(const std::string& path);

// The bytes of a reply from its named members (for builders outside the loader).
ReplyBytes MakeReply(uint32_t result, uint16_t state, uint8_t percent, uint8_t model);

// The simulated functions that the failures member may name, and whether a name is one.
const std::vector<std::string>& FailableCalls();
bool IsFailableCall(const std::string& name);

}  // namespace sim
