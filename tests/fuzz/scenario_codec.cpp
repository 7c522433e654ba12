// One description of the byte layout, walked by a reader to decode and by a writer to encode, so
// the two directions cannot drift apart. Multi-byte numbers are little-endian; a list is a count
// byte then its items; a text is a length then its bytes. Past the end of the input every byte
// reads as zero, which makes every prefix of an input a valid input too.
#include "scenario_codec.h"

#include <algorithm>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "sim/builtin_scenarios.h"

namespace fuzz {
namespace {

constexpr uint8_t REPLY_COMPACT = 0;
constexpr uint8_t REPLY_RAW = 1;
constexpr size_t REPLY_RESULT_OFFSET = 0;
constexpr size_t REPLY_STATE_OFFSET = 4;
constexpr size_t REPLY_PERCENT_OFFSET = 10;
constexpr size_t REPLY_MODEL_OFFSET = 14;
constexpr uint16_t STATE_BURNING = 7;
constexpr uint16_t STATE_IDLE = 0;
constexpr uint32_t RESULT_REFUSED = 0x7001;

constexpr size_t OPEN_MODES = 3;
constexpr size_t FAULT_KINDS = 5;
constexpr size_t RESOURCE_MODES = 4;
constexpr size_t CONSOLE_EVENTS = 3;         // ctrlC, ctrlBreak, close
constexpr uint32_t FIRST_SERVICE_STATE = 1;  // SERVICE_STOPPED
constexpr uint32_t SERVICE_STATES = 7;       // stopped .. paused
constexpr uint32_t START_TYPES = 5;          // boot .. disabled
constexpr uint8_t PENDING_FOR_EVER = 0xFF;
constexpr int INSTANCE_NUMBERS = 10000;
constexpr int IMAGE_IDS[] = {121, 131};

// The scanner's own registry entry, when it has the usual shape, is stored first and apart from
// the other instance keys: mutations elsewhere then leave it matching the scanner, which spares
// most runs the updater's walk over all 10,000 instance keys (one such walk costs as much as
// fifty whole updates). It sits at one of the first 256 keys, so a run that finds it is short.
enum EntryMode : uint8_t { ENTRY_NONE = 0, ENTRY_PRESENT = 1, ENTRY_MODES = 4 };  // 1..3: present
constexpr int MAX_ENTRY_INSTANCE = 255;
constexpr size_t MAX_ID_SUFFIX_BYTES = 32;
constexpr size_t MAX_FRIENDLY_NAME_BYTES = 300;
constexpr const char* DEVICE_PATH_PREFIX = "\\\\.\\usbscan";
constexpr const char* TARGET_ID_PREFIX = "usb\\vid_2a7b&pid_41c3";
constexpr uint16_t TARGET_VID = 0x2A7B;
constexpr uint16_t TARGET_PID = 0x41C3;
constexpr uint32_t TYPE_SZ = 1;  // REG_SZ

// How a value or mutex is named: one of the names the updater uses, or any text.
const std::vector<std::string> kValueNames = {"CreateFileName", "MatchingDeviceId", "FriendlyName"};
const std::string kFirstLockPrefix = "Global\\TARVO_SCAN_EXT_APP_MUTEX_";
const std::string kSecondLockName = "{5B2E8D41-9C3A-4e07-B6F1-3D8A0C7E2F94}";
enum MutexName : uint8_t { MUTEX_RAW = 0, MUTEX_SECOND_LOCK = 1, MUTEX_FIRST_LOCK = 2, MUTEX_NAMES = 3 };
constexpr size_t LOCK_NAME_CAPACITY = 259;  // the updater's 260-byte buffer less its terminator

class Reader {
public:
    static constexpr bool kReading = true;
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    void Bytes(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = pos_ < size_ ? data_[pos_++] : 0;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

class Writer {
public:
    static constexpr bool kReading = false;
    void Bytes(const uint8_t* in, size_t n) { out_.insert(out_.end(), in, in + n); }
    std::vector<uint8_t> Take() { return std::move(out_); }

private:
    std::vector<uint8_t> out_;
};

[[noreturn]] void Unrepresentable(const std::string& what) {
    throw std::invalid_argument("cannot encode " + what + " within the fuzzer's limits");
}

template <typename C, typename T>
void Int(C& c, T& value) {
    uint8_t bytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    c.Bytes(bytes, sizeof bytes);
    uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    value = static_cast<T>(v);
}

template <typename C>
void Flag(C& c, bool& flag) {
    uint8_t v = flag ? 1 : 0;
    Int(c, v);
    flag = (v & 1) != 0;
}

// A value of `count` possibilities stored as one byte, `first` being the lowest.
template <typename C, typename T>
void Choice(C& c, T& value, uint32_t count, uint32_t first = 0) {
    const uint32_t stored = static_cast<uint32_t>(value) - first;
    if constexpr (!C::kReading)
        if (stored >= count)
            Unrepresentable("a choice of " + std::to_string(count));
    uint8_t v = static_cast<uint8_t>(stored);
    Int(c, v);
    value = static_cast<T>(first + v % count);
}

// A count byte, then the items; the count stored is the number above `min`.
template <typename C, typename T, typename Each>
void List(C& c, std::vector<T>& list, size_t min, size_t max, Each each) {
    if constexpr (!C::kReading)
        if (list.size() < min || list.size() > max)
            Unrepresentable("a list of " + std::to_string(list.size()));
    uint8_t extra = static_cast<uint8_t>(list.size() - std::min(list.size(), min));
    Int(c, extra);
    if constexpr (C::kReading)
        list.resize(min + extra % (max - min + 1));
    for (T& item : list) each(item);
}

template <typename C>
void Bytes(C& c, std::vector<uint8_t>& bytes, size_t max) {
    if constexpr (!C::kReading)
        if (bytes.size() > max)
            Unrepresentable(std::to_string(bytes.size()) + " bytes");
    uint16_t n = static_cast<uint16_t>(bytes.size());
    Int(c, n);
    if constexpr (C::kReading)
        bytes.resize(n % (max + 1));
    c.Bytes(bytes.data(), bytes.size());
}

template <typename C>
void Text(C& c, std::string& text, size_t max) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    Bytes(c, bytes, max);
    text.assign(bytes.begin(), bytes.end());
}

uint32_t Field(const sim::ReplyBytes& r, size_t offset, size_t width) {
    uint32_t v = 0;
    for (size_t i = 0; i < width; ++i) v |= static_cast<uint32_t>(r[offset + i]) << (8 * i);
    return v;
}

// A reply whose uninterpreted bytes are all zero is stored by its four fields alone.
template <typename C>
void Reply(C& c, sim::ReplyBytes& reply) {
    const uint32_t result = Field(reply, REPLY_RESULT_OFFSET, sizeof(uint32_t));
    uint16_t state = static_cast<uint16_t>(Field(reply, REPLY_STATE_OFFSET, sizeof(uint16_t)));
    uint8_t percent = reply[REPLY_PERCENT_OFFSET], model = reply[REPLY_MODEL_OFFSET];
    uint8_t form = sim::MakeReply(result, state, percent, model) == reply ? REPLY_COMPACT : REPLY_RAW;
    Int(c, form);
    if ((form & 1) == REPLY_RAW) {
        c.Bytes(reply.data(), reply.size());
        return;
    }
    uint32_t r = result;
    Int(c, r);
    Int(c, state);
    Int(c, percent);
    Int(c, model);
    reply = sim::MakeReply(r, state, percent, model);
}

template <typename C>
void Scanner(C& c, sim::ScannerSpec& s) {
    List(c, s.ready, 1, MAX_READY_REPLIES, [&](sim::ReplyBytes& r) { Reply(c, r); });
    List(c, s.download, 1, MAX_DOWNLOAD_REPLIES, [&](sim::ReplyBytes& r) { Reply(c, r); });
    List(c, s.progress, 1, MAX_PROGRESS_REPLIES, [&](sim::ReplyBytes& r) { Reply(c, r); });
    List(c, s.faults, 0, MAX_FAULTS, [&](sim::TransferFault& f) {
        Flag(c, f.onRead);
        // Stored as it is counted, so that the fuzzer's comparison hints give the right byte.
        if constexpr (!C::kReading)
            if (f.n == 0 || f.n > UINT8_MAX)
                Unrepresentable("fault number " + std::to_string(f.n));
        uint8_t n = static_cast<uint8_t>(f.n);
        Int(c, n);
        f.n = std::max<uint32_t>(n, 1);  // counts from 1
        Choice(c, f.kind, FAULT_KINDS);
    });
}

template <typename C>
void Device(C& c, sim::DeviceSpec& d) {
    if constexpr (!C::kReading)
        if (d.index < 0 || d.index > UINT8_MAX)
            Unrepresentable("device index");
    uint8_t index = static_cast<uint8_t>(d.index);
    Int(c, index);
    d.index = index;
    Choice(c, d.open, OPEN_MODES);
    Flag(c, d.descriptorFails);
    Int(c, d.vid);
    Int(c, d.pid);
    Int(c, d.bcd);
    Scanner(c, d.scanner);
}

template <typename C>
void Service(C& c, sim::ServiceSpec& s) {
    Flag(c, s.exists);
    Flag(c, s.managerDenied);
    Flag(c, s.serviceDenied);
    Choice(c, s.state, SERVICE_STATES, FIRST_SERVICE_STATE);
    Int(c, s.controlsAccepted);
    Choice(c, s.startType, START_TYPES);
    Int(c, s.waitHint);
    if constexpr (!C::kReading)
        if (s.pendingQueries < -1 || s.pendingQueries >= PENDING_FOR_EVER)
            Unrepresentable("pendingQueries");
    uint8_t pending = s.pendingQueries < 0 ? PENDING_FOR_EVER : static_cast<uint8_t>(s.pendingQueries);
    Int(c, pending);
    s.pendingQueries = pending == PENDING_FOR_EVER ? -1 : pending;
}

// The name of one of the updater's values, or any text.
template <typename C>
void ValueName(C& c, std::string& name) {
    auto known = std::find(kValueNames.begin(), kValueNames.end(), name);
    uint8_t which = static_cast<uint8_t>(known - kValueNames.begin());
    Int(c, which);
    which %= kValueNames.size() + 1;
    if (which < kValueNames.size())
        name = kValueNames[which];
    else
        Text(c, name, MAX_VALUE_NAME_BYTES);
}

template <typename C>
void Value(C& c, sim::RegValue& v) {
    ValueName(c, v.name);
    uint8_t type = static_cast<uint8_t>(v.type);
    if constexpr (!C::kReading)
        if (v.type > UINT8_MAX)
            Unrepresentable("value type");
    Int(c, type);
    v.type = type;
    Bytes(c, v.data, MAX_VALUE_BYTES);
}

// The device name of the scanner the updater will find: the first listed device that opens and
// answers with the target's IDs.
std::string ScannerPath(const sim::Scenario& s) {
    for (const sim::DeviceSpec& d : s.devices)
        if (d.open == sim::OpenMode::Ok && !d.descriptorFails && d.vid == TARGET_VID && d.pid == TARGET_PID)
            return DEVICE_PATH_PREFIX + std::to_string(d.index);
    return DEVICE_PATH_PREFIX + std::to_string(0);
}

std::vector<uint8_t> Sz(const std::string& text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return data;
}

// The text of a REG_SZ value whose only zero byte is its terminator.
std::optional<std::string> PlainText(const sim::RegValue& v, size_t max) {
    if (v.type != TYPE_SZ || v.data.empty() || v.data.back() != 0 || v.data.size() - 1 > max)
        return std::nullopt;
    const std::string text(v.data.begin(), v.data.end() - 1);
    if (text.find('\0') != std::string::npos)
        return std::nullopt;
    return text;
}

// The scanner's entry: its instance number, what follows the IDs in its MatchingDeviceId, and its
// FriendlyName. Its CreateFileName is the scanner's device name.
struct ScannerEntry {
    bool present = false;
    uint8_t number = 0;
    std::string idSuffix, friendlyName;
};

// The values of the entry, in the order the scenario loader gives them (by name).
sim::InstanceSpec EntryInstance(const ScannerEntry& e, const sim::Scenario& s) {
    sim::InstanceSpec instance;
    instance.values = {{"CreateFileName", TYPE_SZ, Sz(ScannerPath(s))},
                       {"FriendlyName", TYPE_SZ, Sz(e.friendlyName)},
                       {"MatchingDeviceId", TYPE_SZ, Sz(TARGET_ID_PREFIX + e.idSuffix)}};
    return instance;
}

bool SameInstance(const sim::InstanceSpec& a, const sim::InstanceSpec& b) {
    if (a.accessDenied != b.accessDenied || a.values.size() != b.values.size())
        return false;
    for (size_t i = 0; i < a.values.size(); ++i)
        if (a.values[i].name != b.values[i].name || a.values[i].type != b.values[i].type ||
            a.values[i].data != b.values[i].data)
            return false;
    return true;
}

// The first instance key that has exactly the shape of a scanner entry, if any.
ScannerEntry FindScannerEntry(const sim::Scenario& s) {
    for (const auto& [number, instance] : s.imagingDevices) {
        if (number > MAX_ENTRY_INSTANCE || instance.values.size() != 3)
            continue;
        ScannerEntry e;
        e.present = true;
        e.number = static_cast<uint8_t>(number);
        const std::optional<std::string> id =
            PlainText(instance.values[2], std::string(TARGET_ID_PREFIX).size() + MAX_ID_SUFFIX_BYTES);
        const std::optional<std::string> name = PlainText(instance.values[1], MAX_FRIENDLY_NAME_BYTES);
        if (!id.has_value() || !name.has_value() || id->rfind(TARGET_ID_PREFIX, 0) != 0)
            continue;
        e.idSuffix = id->substr(std::string(TARGET_ID_PREFIX).size());
        e.friendlyName = *name;
        if (SameInstance(instance, EntryInstance(e, s)))
            return e;
    }
    return {};
}

template <typename C>
void Entry(C& c, ScannerEntry& e) {
    uint8_t mode = e.present ? ENTRY_PRESENT : ENTRY_NONE;
    Int(c, mode);
    e.present = mode % ENTRY_MODES != ENTRY_NONE;
    if (!e.present)
        return;
    Int(c, e.number);
    Text(c, e.idSuffix, MAX_ID_SUFFIX_BYTES);
    Text(c, e.friendlyName, MAX_FRIENDLY_NAME_BYTES);
}

// The instance keys other than the scanner's entry; the entry joins them unless a key of its
// number is among them.
template <typename C>
void ImagingDevices(C& c, sim::Scenario& s, const ScannerEntry& entry) {
    std::vector<std::pair<int, sim::InstanceSpec>> instances;
    for (const auto& [number, instance] : s.imagingDevices)
        if (!entry.present || number != entry.number)
            instances.emplace_back(number, instance);
    List(c, instances, 0, MAX_INSTANCES, [&](std::pair<int, sim::InstanceSpec>& key) {
        uint16_t number = static_cast<uint16_t>(key.first);
        Int(c, number);
        key.first = number % INSTANCE_NUMBERS;
        Flag(c, key.second.accessDenied);
        List(c, key.second.values, 0, MAX_VALUES, [&](sim::RegValue& v) { Value(c, v); });
    });
    if constexpr (C::kReading) {
        s.imagingDevices = {instances.begin(), instances.end()};
        if (entry.present)
            s.imagingDevices.emplace(entry.number, EntryInstance(entry, s));
    }
}

// The FriendlyName that the first registry entry carries, as the updater would read it.
std::string FirstFriendlyName(const sim::Scenario& s) {
    for (const auto& [number, instance] : s.imagingDevices)
        for (const sim::RegValue& v : instance.values)
            if (v.name == "FriendlyName") {
                std::string text(v.data.begin(), v.data.end());
                return text.substr(0, text.find('\0'));
            }
    return "";
}

template <typename C>
void Mutex(C& c, sim::MutexSpec& m, const sim::Scenario& s) {
    uint8_t which = MUTEX_RAW;
    Int(c, which);
    which %= MUTEX_NAMES;
    if (which == MUTEX_SECOND_LOCK)
        m.name = kSecondLockName;
    else if (which == MUTEX_FIRST_LOCK)
        m.name = (kFirstLockPrefix + FirstFriendlyName(s)).substr(0, LOCK_NAME_CAPACITY);
    else
        Text(c, m.name, MAX_MUTEX_NAME_BYTES);
    bool releases = m.releaseAfterMs.has_value();
    Flag(c, releases);
    if (releases) {
        if constexpr (!C::kReading)
            if (*m.releaseAfterMs > UINT32_MAX)
                Unrepresentable("releaseAfterMs");
        uint32_t ms = static_cast<uint32_t>(m.releaseAfterMs.value_or(0));
        Int(c, ms);
        m.releaseAfterMs = ms;
    } else {
        m.releaseAfterMs.reset();
    }
    Flag(c, m.accessDenied);
}

template <typename C>
void Resources(C& c, sim::Scenario& s) {
    for (int id : IMAGE_IDS) {
        sim::ResourceSpec& r = s.resources[id];
        Choice(c, r.mode, RESOURCE_MODES);
        const std::vector<uint32_t>& sizes = ImageSizes(id);
        auto at = std::find(sizes.begin(), sizes.end(), r.size);
        if constexpr (!C::kReading)
            if (at == sizes.end())
                Unrepresentable("image size " + std::to_string(r.size));
        uint8_t which = static_cast<uint8_t>(at - sizes.begin());
        Int(c, which);
        r.size = sizes[which % sizes.size()];
    }
}

template <typename C>
void Failure(C& c, sim::FailureSpec& f) {
    const std::vector<std::string>& calls = sim::FailableCalls();
    auto at = std::find(calls.begin(), calls.end(), f.call);
    if constexpr (!C::kReading)
        if (at == calls.end())
            Unrepresentable("a failure of " + f.call);
    uint8_t which = static_cast<uint8_t>(at - calls.begin());
    Int(c, which);
    f.call = calls[which % calls.size()];
    if constexpr (!C::kReading)
        if (f.nth == 0 || f.nth > UINT16_MAX || f.count > UINT8_MAX)
            Unrepresentable("a failure's range");
    uint16_t nth = static_cast<uint16_t>(f.nth);
    Int(c, nth);
    f.nth = std::max<uint32_t>(nth, 1);  // counts from 1
    uint8_t count = static_cast<uint8_t>(f.count);
    Int(c, count);
    f.count = count;
    bool hasError = f.error.has_value();
    Flag(c, hasError);
    if (hasError) {
        uint32_t error = f.error.value_or(0);
        Int(c, error);
        f.error = error;
    } else {
        f.error.reset();
    }
}

template <typename C>
void Interrupt(C& c, sim::InterruptSpec& i) {
    Choice(c, i.event, CONSOLE_EVENTS);
    if constexpr (!C::kReading)
        if (i.atMs > UINT32_MAX)
            Unrepresentable("an event at " + std::to_string(i.atMs) + " ms");
    uint32_t at = static_cast<uint32_t>(i.atMs);
    Int(c, at);
    i.atMs = at;
}

template <typename C>
void Console(C& c, sim::ConsoleSpec& console) {
    if constexpr (!C::kReading)
        if (console.processes == 0 || console.processes > UINT8_MAX)
            Unrepresentable("a console of " + std::to_string(console.processes) + " processes");
    uint8_t processes = static_cast<uint8_t>(console.processes);
    Int(c, processes);
    console.processes = std::max<uint32_t>(processes, 1);
    Flag(c, console.redirected);
    List(c, console.interrupts, 0, MAX_INTERRUPTS, [&](sim::InterruptSpec& i) { Interrupt(c, i); });
}

// Whether another run holds the update guard, and which image is damaged. Read last, so that an
// input made before these existed reads them as absent.
template <typename C>
void GuardAndDamage(C& c, sim::Scenario& s) {
    Flag(c, s.otherUpdater);
    for (int id : IMAGE_IDS) Flag(c, s.resources[id].damaged);
}

template <typename C>
void Visit(C& c, sim::Scenario& s) {
    ScannerEntry entry = FindScannerEntry(s);
    Entry(c, entry);
    Int(c, s.userLangId);
    Int(c, s.tickStart);
    List(c, s.args, 0, MAX_ARGS, [&](std::string& a) { Text(c, a, MAX_ARG_BYTES); });
    List(c, s.devices, 0, MAX_DEVICES, [&](sim::DeviceSpec& d) { Device(c, d); });
    Service(c, s.service);
    ImagingDevices(c, s, entry);
    List(c, s.mutexes, 0, MAX_MUTEXES, [&](sim::MutexSpec& m) { Mutex(c, m, s); });
    Resources(c, s);
    List(c, s.failures, 0, MAX_FAILURES, [&](sim::FailureSpec& f) { Failure(c, f); });
    Console(c, s.console);
    GuardAndDamage(c, s);
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Keeps only the first of the items that `same` calls equal, as the scenario loader demands.
template <typename T, typename Same>
void DropRepeats(std::vector<T>& items, Same same) {
    std::vector<T> kept;
    for (T& item : items)
        if (std::none_of(kept.begin(), kept.end(), [&](const T& k) { return same(k, item); }))
            kept.push_back(std::move(item));
    items = std::move(kept);
}

// The rules the loader enforces, and the bounds that keep a run short.
void Bound(sim::Scenario& s) {
    DropRepeats(s.devices, [](const sim::DeviceSpec& a, const sim::DeviceSpec& b) { return a.index == b.index; });
    for (sim::DeviceSpec& d : s.devices) {
        // The last progress reply repeats for ever: it must not keep the burn going.
        sim::ReplyBytes& last = d.scanner.progress.back();
        const bool burning = Field(last, REPLY_STATE_OFFSET, sizeof(uint16_t)) == STATE_BURNING &&
                             Field(last, REPLY_RESULT_OFFSET, sizeof(uint32_t)) != RESULT_REFUSED;
        if (burning) {
            last[REPLY_STATE_OFFSET] = static_cast<uint8_t>(STATE_IDLE);
            last[REPLY_STATE_OFFSET + 1] = 0;
        }
    }
    for (auto& [number, instance] : s.imagingDevices) {
        DropRepeats(instance.values,
                    [](const sim::RegValue& a, const sim::RegValue& b) { return SameIgnoringCase(a.name, b.name); });
    }
    s.mutexes.erase(
        std::remove_if(s.mutexes.begin(), s.mutexes.end(), [](const sim::MutexSpec& m) { return m.name.empty(); }),
        s.mutexes.end());
    DropRepeats(s.mutexes, [](const sim::MutexSpec& a, const sim::MutexSpec& b) { return a.name == b.name; });
    // Another run's guard has its name to itself.
    if (s.otherUpdater)
        s.mutexes.erase(std::remove_if(s.mutexes.begin(), s.mutexes.end(),
                                       [](const sim::MutexSpec& m) { return m.name == sim::OTHER_UPDATER_GUARD_NAME; }),
                        s.mutexes.end());
    // Only an image that is there has bytes to damage.
    for (auto& [id, resource] : s.resources)
        resource.damaged = resource.damaged && resource.mode == sim::ResourceMode::Present;
    DropRepeats(s.failures, [](const sim::FailureSpec& a, const sim::FailureSpec& b) { return a.call == b.call; });
    // A pause whose wait fails falls back to a Sleep; with Sleep bounded, time always passes.
    for (sim::FailureSpec& f : s.failures)
        if (f.call == "Sleep" && (f.count == 0 || f.count > MAX_SLEEP_FAILURES))
            f.count = MAX_SLEEP_FAILURES;
}

}  // namespace

const std::vector<uint32_t>& ImageSizes(int resourceId) {
    static const std::vector<uint32_t> sizes121 = {sim::IMAGE_121_SIZE, 0, 1, 16, 4095};
    static const std::vector<uint32_t> sizes131 = {sim::IMAGE_131_SIZE, 0, 1, 16, 4095};
    return resourceId == IMAGE_IDS[0] ? sizes121 : sizes131;
}

sim::Scenario DecodeScenario(const uint8_t* data, size_t size) {
    Reader reader(data, size);
    sim::Scenario s;
    s.source = "fuzz";
    // The loader's default of an absent member: both images present at full size.
    for (int id : IMAGE_IDS) s.resources[id] = {sim::ResourceMode::Present, ImageSizes(id).front()};
    Visit(reader, s);
    Bound(s);
    return s;
}

std::vector<uint8_t> EncodeScenario(const sim::Scenario& scenario) {
    sim::Scenario s = scenario;
    Writer writer;
    Visit(writer, s);
    return writer.Take();
}

}  // namespace fuzz
