// Reads scenario files. Every problem is reported as one line naming the file and the field, so
// that whoever wrote the scenario can fix it without reading this code.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "sim/scenario.h"
#include "text/win32_names.h"

namespace sim {
namespace {

using nlohmann::json;

constexpr int MAX_DEVICE_INDEX = 255;
// A scenario describes one PC; anything larger is a mistake, and parsing it would cost the memory
// of many times its size.
constexpr size_t MAX_SCENARIO_BYTES = 4 * 1024 * 1024;
constexpr uint64_t DESCRIPTOR_BYTES = 8;
constexpr uint8_t TARGET_STATE_BURNING = 7;
constexpr int DEFAULT_PROGRESS_STEPS = 10;
constexpr int PROGRESS_STEP_PERCENT = 10;
// Events later than this would never come in any run (the same bound as other process times).
constexpr uint64_t MAX_EVENT_MS = 0xFFFFFFFFFFFFull;

class Loader {
public:
    explicit Loader(std::string source) : source_(std::move(source)) {}

    [[noreturn]] void Fail(const std::string& field, const std::string& problem) const {
        throw ScenarioError(OneLine(source_ + ": " + (field.empty() ? "(top level)" : field) + ": " + problem));
    }

    // Member names and values in a message come from the file and may hold line breaks; they are
    // shown escaped so that the message stays one line.
    static std::string OneLine(const std::string& text) {
        constexpr unsigned char FIRST_PRINTABLE = 0x20;
        std::string out;
        for (char c : text) {
            if (static_cast<unsigned char>(c) >= FIRST_PRINTABLE) {
                out += c;
                continue;
            }
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
            out += escaped;
        }
        return out;
    }

    void RequireObject(const json& j, const std::string& field) const {
        if (!j.is_object())
            Fail(field, "expected an object");
    }

    void AllowOnly(const json& j, const std::string& field, std::initializer_list<const char*> names) const {
        for (auto it = j.begin(); it != j.end(); ++it) {
            bool known = std::any_of(names.begin(), names.end(), [&](const char* n) { return it.key() == n; });
            if (!known)
                Fail(Join(field, it.key()), "unknown member");
        }
    }

    static std::string Join(const std::string& field, const std::string& member) {
        return field.empty() ? member : field + "." + member;
    }

    // A number given as a JSON number or as a string ("0x0404" in hex, or decimal digits).
    uint64_t Number(const json& j, const std::string& field, uint64_t max) const {
        uint64_t value = 0;
        if (j.is_number_unsigned()) {
            value = j.get<uint64_t>();
        } else if (j.is_number_integer()) {
            Fail(field, "must not be negative");
        } else if (j.is_number_float()) {
            // A whole number too large for any integer type arrives as a floating-point one.
            const double d = j.get<double>();
            if (d < 0)
                Fail(field, "must not be negative");
            if (std::isfinite(d) && d == std::floor(d))
                Fail(field, OutOfRange(max));
            Fail(field, "expected a whole number");
        } else if (j.is_string()) {
            value = ParseNumberText(j.get<std::string>(), field, max);
        } else {
            Fail(field, "expected a number or a hex string such as \"0x0404\"");
        }
        if (value > max)
            Fail(field, OutOfRange(max));
        return value;
    }

    static std::string OutOfRange(uint64_t max) {
        char hex[24];
        std::snprintf(hex, sizeof hex, "0x%llX", static_cast<unsigned long long>(max));
        return "out of range: expected 0 to " + std::to_string(max) + " (" + hex + ")";
    }

    uint64_t ParseNumberText(const std::string& text, const std::string& field, uint64_t max) const {
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        std::string digits = hex ? text.substr(2) : text;
        const bool wellFormed = !digits.empty() && std::all_of(digits.begin(), digits.end(), [hex](char c) {
            return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
        });
        if (!wellFormed)
            Fail(field, "not a number: \"" + text + "\" (decimal digits, or hex after 0x)");
        uint64_t value = 0;
        const uint64_t base = hex ? 16 : 10;
        for (char c : digits) {
            const int d = c <= '9' ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
            if (value > (std::numeric_limits<uint64_t>::max() - d) / base)
                Fail(field, OutOfRange(max));
            value = value * base + d;
        }
        return value;
    }

    std::string String(const json& j, const std::string& field) const {
        if (!j.is_string())
            Fail(field, "expected a string");
        return j.get<std::string>();
    }

    bool Bool(const json& j, const std::string& field) const {
        if (!j.is_boolean())
            Fail(field, "expected true or false");
        return j.get<bool>();
    }

    template <typename T>
    T Choice(const json& j, const std::string& field, std::initializer_list<std::pair<const char*, T>> choices) const {
        return ChoiceOf<T>(j, field, std::vector<std::pair<const char*, T>>(choices));
    }

    // A value named in one of the tables of Win32 names.
    uint32_t Named(const json& j, const std::string& field, Win32NameTable names) const {
        std::vector<std::pair<const char*, uint32_t>> choices;
        for (const Win32Name& n : names) choices.emplace_back(n.name, n.value);
        return ChoiceOf<uint32_t>(j, field, choices);
    }

    template <typename T>
    T ChoiceOf(const json& j, const std::string& field, const std::vector<std::pair<const char*, T>>& choices) const {
        std::string wanted;
        for (auto& c : choices) wanted += std::string(wanted.empty() ? "" : ", ") + "\"" + c.first + "\"";
        if (!j.is_string())
            Fail(field, "expected one of " + wanted);
        std::string s = j.get<std::string>();
        for (auto& c : choices)
            if (s == c.first)
                return c.second;
        Fail(field, "\"" + s + "\" is not one of " + wanted);
    }

    std::vector<uint8_t> Hex(const json& j, const std::string& field) const {
        std::string s = String(j, field);
        if (s.size() % 2 != 0)
            Fail(field, "hex text needs an even number of digits");
        std::vector<uint8_t> out;
        for (size_t i = 0; i < s.size(); i += 2) {
            if (!std::isxdigit(static_cast<unsigned char>(s[i])) ||
                !std::isxdigit(static_cast<unsigned char>(s[i + 1])))
                Fail(field, "not hex digits");
            out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
        }
        return out;
    }

    ReplyBytes Reply(const json& j, const std::string& field) const {
        RequireObject(j, field);
        AllowOnly(j, field, {"result", "state", "percent", "model", "raw"});
        ReplyBytes bytes{};
        if (j.contains("raw")) {
            std::vector<uint8_t> raw = Hex(j["raw"], Join(field, "raw"));
            if (raw.size() != REPLY_BYTES)
                Fail(Join(field, "raw"), "expected 64 hex digits");
            std::copy(raw.begin(), raw.end(), bytes.begin());
        }
        auto put = [&](size_t offset, uint64_t value, size_t width) {
            for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        };
        if (j.contains("result"))
            put(0, Number(j["result"], Join(field, "result"), 0xFFFFFFFFu), 4);
        if (j.contains("state"))
            put(4, Number(j["state"], Join(field, "state"), 0xFFFF), 2);
        if (j.contains("percent"))
            put(10, Number(j["percent"], Join(field, "percent"), 0xFF), 1);
        if (j.contains("model"))
            put(14, Number(j["model"], Join(field, "model"), 0xFF), 1);
        return bytes;
    }

    std::vector<ReplyBytes> ReplyList(const json& j, const std::string& field) const {
        std::vector<ReplyBytes> list;
        if (j.is_object()) {
            list.push_back(Reply(j, field));
        } else if (j.is_array()) {
            if (j.empty())
                Fail(field, "needs at least one reply");
            for (size_t i = 0; i < j.size(); ++i) list.push_back(Reply(j[i], field + "[" + std::to_string(i) + "]"));
        } else {
            Fail(field, "expected a reply object or a list of them");
        }
        return list;
    }

    ScannerSpec Scanner(const json& j, const std::string& field) const {
        RequireObject(j, field);
        AllowOnly(j, field, {"ready", "download", "progress", "faults"});
        ScannerSpec s;
        s.ready = j.contains("ready") ? ReplyList(j["ready"], Join(field, "ready"))
                                      : std::vector<ReplyBytes>{MakeReply(0, 0, 0, 0)};
        s.download = j.contains("download") ? ReplyList(j["download"], Join(field, "download"))
                                            : std::vector<ReplyBytes>{MakeReply(0, 0, 0, 0)};
        if (j.contains("progress")) {
            s.progress = ReplyList(j["progress"], Join(field, "progress"));
        } else {
            for (int step = 0; step < DEFAULT_PROGRESS_STEPS; ++step)
                s.progress.push_back(
                    MakeReply(0, TARGET_STATE_BURNING, static_cast<uint8_t>(step * PROGRESS_STEP_PERCENT), 0));
            s.progress.push_back(MakeReply(0, 0, 100, 0));
        }
        if (j.contains("faults")) {
            const json& f = j["faults"];
            std::string ff = Join(field, "faults");
            if (!f.is_array())
                Fail(ff, "expected a list");
            for (size_t i = 0; i < f.size(); ++i) {
                std::string fi = ff + "[" + std::to_string(i) + "]";
                RequireObject(f[i], fi);
                AllowOnly(f[i], fi, {"op", "n", "kind"});
                if (!f[i].contains("op"))
                    Fail(Join(fi, "op"), "required");
                if (!f[i].contains("kind"))
                    Fail(Join(fi, "kind"), "required");
                TransferFault t;
                t.onRead = Choice<bool>(f[i]["op"], Join(fi, "op"), {{"write", false}, {"read", true}});
                t.n = f[i].contains("n") ? static_cast<uint32_t>(Number(f[i]["n"], Join(fi, "n"), 0xFFFFFFFFu)) : 1;
                if (t.n == 0)
                    Fail(Join(fi, "n"), "counts from 1");
                t.kind = Choice<FaultKind>(f[i]["kind"], Join(fi, "kind"),
                                           {{"fail", FaultKind::Fail},
                                            {"noSignal", FaultKind::NoSignal},
                                            {"resultFails", FaultKind::ResultFails},
                                            {"short", FaultKind::Short},
                                            {"long", FaultKind::Long}});
                s.faults.push_back(t);
            }
        }
        return s;
    }

    DeviceSpec Device(const json& j, const std::string& field) const {
        RequireObject(j, field);
        AllowOnly(j, field, {"index", "open", "descriptor", "scanner"});
        DeviceSpec d;
        if (!j.contains("index"))
            Fail(Join(field, "index"), "required");
        d.index = static_cast<int>(Number(j["index"], Join(field, "index"), MAX_DEVICE_INDEX));
        if (j.contains("open"))
            d.open = Choice<OpenMode>(j["open"], Join(field, "open"),
                                      {{"ok", OpenMode::Ok}, {"denied", OpenMode::Denied}, {"busy", OpenMode::Busy}});
        if (j.contains("descriptor")) {
            const json& dj = j["descriptor"];
            std::string df = Join(field, "descriptor");
            if (dj.is_string()) {
                if (dj.get<std::string>() != "fail")
                    Fail(df, "expected an object or \"fail\"");
                d.descriptorFails = true;
            } else {
                RequireObject(dj, df);
                AllowOnly(dj, df, {"vid", "pid", "bcd", "length"});
                if (dj.contains("vid"))
                    d.vid = static_cast<uint16_t>(Number(dj["vid"], Join(df, "vid"), 0xFFFF));
                if (dj.contains("pid"))
                    d.pid = static_cast<uint16_t>(Number(dj["pid"], Join(df, "pid"), 0xFFFF));
                if (dj.contains("bcd"))
                    d.bcd = static_cast<uint16_t>(Number(dj["bcd"], Join(df, "bcd"), 0xFFFF));
                if (dj.contains("length"))
                    d.descriptorLength =
                        static_cast<uint8_t>(Number(dj["length"], Join(df, "length"), DESCRIPTOR_BYTES));
            }
        }
        d.scanner = Scanner(j.contains("scanner") ? j["scanner"] : json::object(), Join(field, "scanner"));
        return d;
    }

    ServiceSpec Service(const json& j, const std::string& field) const {
        RequireObject(j, field);
        AllowOnly(j, field,
                  {"exists", "managerAccess", "serviceAccess", "state", "controlsAccepted", "startType", "waitHint",
                   "pendingQueries"});
        ServiceSpec s;
        if (j.contains("exists"))
            s.exists = Bool(j["exists"], Join(field, "exists"));
        if (j.contains("managerAccess"))
            s.managerDenied =
                Choice<bool>(j["managerAccess"], Join(field, "managerAccess"), {{"granted", false}, {"denied", true}});
        if (j.contains("serviceAccess"))
            s.serviceDenied =
                Choice<bool>(j["serviceAccess"], Join(field, "serviceAccess"), {{"granted", false}, {"denied", true}});
        if (j.contains("state"))
            s.state = Named(j["state"], Join(field, "state"), ServiceStateNames());
        constexpr uint32_t RUNNING = 4, PAUSED = 7, ACCEPTS_WHEN_UP = 0x07;
        s.controlsAccepted = (s.state == RUNNING || s.state == PAUSED) ? ACCEPTS_WHEN_UP : 0;
        if (j.contains("controlsAccepted"))
            s.controlsAccepted =
                static_cast<uint32_t>(Number(j["controlsAccepted"], Join(field, "controlsAccepted"), 0xFFFFFFFFu));
        if (j.contains("startType"))
            s.startType = Named(j["startType"], Join(field, "startType"), ServiceStartTypeNames());
        if (j.contains("waitHint"))
            s.waitHint = static_cast<uint32_t>(Number(j["waitHint"], Join(field, "waitHint"), 0xFFFFFFFFu));
        if (j.contains("pendingQueries")) {
            const json& p = j["pendingQueries"];
            if (p.is_number_integer() && p.get<int64_t>() == -1) {
                s.pendingQueries = -1;
            } else {
                s.pendingQueries = static_cast<int64_t>(Number(p, Join(field, "pendingQueries"), 0xFFFFFFFFu));
            }
        }
        return s;
    }

    RegValue Value(const std::string& name, const json& j, const std::string& field) const {
        RegValue v;
        v.name = name;
        auto sz = [](const std::string& s) {
            std::vector<uint8_t> b(s.begin(), s.end());
            b.push_back(0);
            return b;
        };
        if (j.is_string()) {
            v.type = 1;
            v.data = sz(j.get<std::string>());
            return v;
        }
        if (!j.is_object())
            Fail(field, "expected a string (a REG_SZ value) or an object with \"type\" and \"data\" or \"hex\"");
        AllowOnly(j, field, {"type", "data", "hex"});
        if (!j.contains("type"))
            Fail(Join(field, "type"), "required");
        // Beyond the first three, the types come from captured PCs: their bytes are given exactly, as hex.
        v.type = Named(j["type"], Join(field, "type"), RegistryTypeNames());
        if (j.contains("data") == j.contains("hex"))
            Fail(field, "give exactly one of data and hex");
        const bool takesData = v.type == 1 || v.type == 3 || v.type == 4;
        if (!takesData && j.contains("data"))
            Fail(Join(field, "data"), "this type takes its bytes as hex");
        if (j.contains("hex")) {
            v.data = Hex(j["hex"], Join(field, "hex"));
        } else if (j["data"].is_string()) {
            std::string s = j["data"].get<std::string>();
            if (v.type == 4) {
                uint32_t n = static_cast<uint32_t>(Number(j["data"], Join(field, "data"), 0xFFFFFFFFu));
                for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(n >> (8 * i)));
            } else {
                v.data = v.type == 1 ? sz(s) : std::vector<uint8_t>(s.begin(), s.end());
            }
        } else {
            if (v.type == 1)
                Fail(Join(field, "data"), "a REG_SZ takes a string");
            uint32_t n = static_cast<uint32_t>(Number(j["data"], Join(field, "data"), 0xFFFFFFFFu));
            for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(n >> (8 * i)));
        }
        return v;
    }

    void ImagingDevices(const json& j, const std::string& field, Scenario& s) const {
        RequireObject(j, field);
        for (auto it = j.begin(); it != j.end(); ++it) {
            std::string fi = Join(field, it.key());
            const std::string& k = it.key();
            bool fourDigits =
                k.size() == 4 && std::all_of(k.begin(), k.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!fourDigits)
                Fail(fi, "instance names are four digits, \"0000\" to \"9999\"");
            RequireObject(it.value(), fi);
            InstanceSpec inst;
            std::set<std::string> seen;
            for (auto v = it.value().begin(); v != it.value().end(); ++v) {
                if (v.key() == "access") {
                    inst.accessDenied =
                        Choice<bool>(v.value(), Join(fi, "access"), {{"denied", true}, {"granted", false}});
                    continue;
                }
                std::string lower = v.key();
                std::transform(lower.begin(), lower.end(), lower.begin(),
                               [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                if (!seen.insert(lower).second)
                    Fail(Join(fi, v.key()), "value named twice (names ignore case)");
                inst.values.push_back(Value(v.key(), v.value(), Join(fi, v.key())));
            }
            s.imagingDevices[std::stoi(k)] = inst;
        }
    }

    void Mutexes(const json& j, const std::string& field, Scenario& s) const {
        if (!j.is_array())
            Fail(field, "expected a list");
        std::set<std::string> names;
        for (size_t i = 0; i < j.size(); ++i) {
            std::string fi = field + "[" + std::to_string(i) + "]";
            RequireObject(j[i], fi);
            AllowOnly(j[i], fi, {"name", "releaseAfterMs", "access"});
            MutexSpec m;
            if (!j[i].contains("name"))
                Fail(Join(fi, "name"), "required");
            m.name = String(j[i]["name"], Join(fi, "name"));
            if (m.name.empty())
                Fail(Join(fi, "name"), "must not be empty");
            if (!names.insert(m.name).second)
                Fail(Join(fi, "name"), "named twice");
            if (j[i].contains("releaseAfterMs"))
                m.releaseAfterMs = Number(j[i]["releaseAfterMs"], Join(fi, "releaseAfterMs"), 0xFFFFFFFFFFFFull);
            if (j[i].contains("access"))
                m.accessDenied =
                    Choice<bool>(j[i]["access"], Join(fi, "access"), {{"denied", true}, {"granted", false}});
            s.mutexes.push_back(m);
        }
    }

    void Resources(const json& j, const std::string& field, Scenario& s) const {
        RequireObject(j, field);
        for (auto it = j.begin(); it != j.end(); ++it) {
            std::string fi = Join(field, it.key());
            if (it.key() != "121" && it.key() != "131")
                Fail(fi, "only \"121\" and \"131\" are images");
            const json& r = it.value();
            RequireObject(r, fi);
            AllowOnly(r, fi, {"size", "missing", "loadFails", "lockFails", "damaged"});
            ResourceSpec& given = s.resources[std::stoi(it.key())];
            if (r.contains("damaged")) {
                if (!Bool(r["damaged"], Join(fi, "damaged")))
                    Fail(Join(fi, "damaged"), "only true is meaningful");
                if (r.size() > 2 || (r.size() == 2 && !r.contains("size")))
                    Fail(Join(fi, "damaged"), "goes with size or alone: an image that is not there has no bytes");
                given.damaged = true;
                if (!r.contains("size"))
                    continue;
            } else if (r.size() != 1) {
                Fail(fi, "give exactly one of size, missing, loadFails, lockFails");
            }
            if (r.contains("size")) {
                given.mode = ResourceMode::Present;
                given.size = static_cast<uint32_t>(Number(r["size"], Join(fi, "size"), 0xFFFFFFFFu));
            } else {
                const char* key = r.contains("missing")     ? "missing"
                                  : r.contains("loadFails") ? "loadFails"
                                                            : "lockFails";
                if (!Bool(r[key], Join(fi, key)))
                    Fail(Join(fi, key), "only true is meaningful");
                given.mode = r.contains("missing")     ? ResourceMode::Missing
                             : r.contains("loadFails") ? ResourceMode::LoadFails
                                                       : ResourceMode::LockFails;
            }
        }
    }

    void Failures(const json& j, const std::string& field, Scenario& s) const {
        if (!j.is_array())
            Fail(field, "expected a list");
        std::set<std::string> calls;
        for (size_t i = 0; i < j.size(); ++i) {
            std::string fi = field + "[" + std::to_string(i) + "]";
            RequireObject(j[i], fi);
            AllowOnly(j[i], fi, {"call", "nth", "count", "error"});
            FailureSpec f;
            if (!j[i].contains("call"))
                Fail(Join(fi, "call"), "required");
            f.call = String(j[i]["call"], Join(fi, "call"));
            if (!IsFailableCall(f.call))
                Fail(Join(fi, "call"), "\"" + f.call + "\" is not a simulated call that can fail");
            if (!calls.insert(f.call).second)
                Fail(Join(fi, "call"), "\"" + f.call + "\" appears in more than one entry");
            if (j[i].contains("nth"))
                f.nth = static_cast<uint32_t>(Number(j[i]["nth"], Join(fi, "nth"), 0xFFFFFFFFu));
            if (f.nth == 0)
                Fail(Join(fi, "nth"), "counts from 1");
            if (j[i].contains("count"))
                f.count = static_cast<uint32_t>(Number(j[i]["count"], Join(fi, "count"), 0xFFFFFFFFu));
            if (j[i].contains("error"))
                f.error = static_cast<uint32_t>(Number(j[i]["error"], Join(fi, "error"), 0xFFFFFFFFu));
            s.failures.push_back(f);
        }
    }

    void Console(const json& j, const std::string& field, Scenario& s) const {
        RequireObject(j, field);
        AllowOnly(j, field, {"processes", "redirected", "interrupts"});
        if (j.contains("processes")) {
            s.console.processes = static_cast<uint32_t>(Number(j["processes"], Join(field, "processes"), 0xFFFFFFFFu));
            if (s.console.processes == 0)
                Fail(Join(field, "processes"), "counts the updater itself: at least 1");
        }
        if (j.contains("redirected"))
            s.console.redirected = Bool(j["redirected"], Join(field, "redirected"));
        if (!j.contains("interrupts"))
            return;
        const json& list = j["interrupts"];
        const std::string lf = Join(field, "interrupts");
        if (!list.is_array())
            Fail(lf, "expected a list");
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string fi = lf + "[" + std::to_string(i) + "]";
            RequireObject(list[i], fi);
            AllowOnly(list[i], fi, {"event", "atMs"});
            if (!list[i].contains("event"))
                Fail(Join(fi, "event"), "required");
            if (!list[i].contains("atMs"))
                Fail(Join(fi, "atMs"), "required");
            InterruptSpec in;
            in.event = Choice<ConsoleEvent>(list[i]["event"], Join(fi, "event"),
                                            {{"ctrlC", ConsoleEvent::CtrlC},
                                             {"ctrlBreak", ConsoleEvent::CtrlBreak},
                                             {"close", ConsoleEvent::Close}});
            in.atMs = Number(list[i]["atMs"], Join(fi, "atMs"), MAX_EVENT_MS);
            s.console.interrupts.push_back(in);
        }
    }

    Scenario Top(const json& j) const {
        Scenario s;
        s.source = source_;
        RequireObject(j, "");
        AllowOnly(j, "",
                  {"userLangId", "tickStart", "args", "devices", "service", "imagingDevices", "mutexes", "resources",
                   "exeFile", "failures", "console", "otherUpdater", "probe"});
        if (j.contains("userLangId"))
            s.userLangId = static_cast<uint16_t>(Number(j["userLangId"], "userLangId", 0xFFFF));
        if (j.contains("tickStart"))
            s.tickStart = static_cast<uint32_t>(Number(j["tickStart"], "tickStart", 0xFFFFFFFFu));
        if (j.contains("args")) {
            if (!j["args"].is_array())
                Fail("args", "expected a list of strings");
            for (size_t i = 0; i < j["args"].size(); ++i)
                s.args.push_back(String(j["args"][i], "args[" + std::to_string(i) + "]"));
        }
        if (j.contains("devices")) {
            if (!j["devices"].is_array())
                Fail("devices", "expected a list");
            std::set<int> seen;
            for (size_t i = 0; i < j["devices"].size(); ++i) {
                std::string fi = "devices[" + std::to_string(i) + "]";
                DeviceSpec d = Device(j["devices"][i], fi);
                if (!seen.insert(d.index).second)
                    Fail(Join(fi, "index"), "usbscan" + std::to_string(d.index) + " is listed twice");
                s.devices.push_back(d);
            }
        }
        if (j.contains("service"))
            s.service = Service(j["service"], "service");
        if (j.contains("imagingDevices"))
            ImagingDevices(j["imagingDevices"], "imagingDevices", s);
        if (j.contains("mutexes"))
            Mutexes(j["mutexes"], "mutexes", s);
        s.resources[121] = {ResourceMode::Present, IMAGE_121_SIZE};
        s.resources[131] = {ResourceMode::Present, IMAGE_131_SIZE};
        if (j.contains("resources"))
            Resources(j["resources"], "resources", s);
        if (j.contains("exeFile"))
            s.exeFile = Choice<ExeFile>(j["exeFile"], "exeFile",
                                        {{"whole", ExeFile::Whole},
                                         {"truncated", ExeFile::Truncated},
                                         {"notExecutable", ExeFile::NotExecutable},
                                         {"folder", ExeFile::Folder},
                                         {"imagePastEnd", ExeFile::ImagePastEnd}});
        if (j.contains("failures"))
            Failures(j["failures"], "failures", s);
        if (j.contains("console"))
            Console(j["console"], "console", s);
        if (j.contains("otherUpdater"))
            s.otherUpdater = Bool(j["otherUpdater"], "otherUpdater");
        for (size_t i = 0; s.otherUpdater && i < s.mutexes.size(); ++i)
            if (s.mutexes[i].name == OTHER_UPDATER_GUARD_NAME)
                Fail("mutexes[" + std::to_string(i) + "].name",
                     "the other updater's guard has this name: with otherUpdater true no other mutex may");
        // `probe` is whatever a capture tool recorded about itself and the PC: kept out of the run.
        if (j.contains("probe"))
            RequireObject(j["probe"], "probe");
        return s;
    }

private:
    std::string source_;
};

// Notices a member given twice in one object while the parser reads, and where: JSON allows it,
// but the last one would silently win, which is never what whoever wrote the file meant.
class DuplicateWatch {
public:
    void See(json::parse_event_t event, const json& parsed) {
        if (found_)
            return;
        switch (event) {
            case json::parse_event_t::object_start:
            case json::parse_event_t::array_start:
                CountElement();
                frames_.push_back({event == json::parse_event_t::array_start, -1, {}, {}});
                break;
            case json::parse_event_t::object_end:
            case json::parse_event_t::array_end:
                if (!frames_.empty())
                    frames_.pop_back();
                break;
            case json::parse_event_t::key: {
                Frame& top = frames_.back();
                top.key = parsed.get<std::string>();
                if (!top.keys.insert(top.key).second) {
                    found_ = true;
                    where_ = Path();
                }
                break;
            }
            case json::parse_event_t::value:
                CountElement();
                break;
        }
    }
    bool Found() const { return found_; }
    const std::string& Where() const { return where_; }

private:
    struct Frame {
        bool array;
        int index;
        std::string key;
        std::set<std::string> keys;
    };

    void CountElement() {
        if (!frames_.empty() && frames_.back().array)
            ++frames_.back().index;
    }

    // The member just read, as the loader's messages name fields: "devices[0].scanner.ready".
    std::string Path() const {
        std::string path;
        for (const Frame& f : frames_) {
            if (f.array)
                path += "[" + std::to_string(f.index) + "]";
            else
                path += (path.empty() ? "" : ".") + f.key;
        }
        return path;
    }

    std::vector<Frame> frames_;
    bool found_ = false;
    std::string where_;
};

}  // namespace

ReplyBytes MakeReply(uint32_t result, uint16_t state, uint8_t percent, uint8_t model) {
    ReplyBytes b{};
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(result >> (8 * i));
    b[4] = static_cast<uint8_t>(state);
    b[5] = static_cast<uint8_t>(state >> 8);
    b[10] = percent;
    b[14] = model;
    return b;
}

Scenario ParseScenario(const std::string& jsonText, const std::string& source) {
    Loader loader(source);
    DuplicateWatch duplicates;
    json j;
    try {
        j = json::parse(jsonText, [&duplicates](int, json::parse_event_t event, json& parsed) {
            duplicates.See(event, parsed);
            return true;
        });
    } catch (const json::exception& e) {  // a syntax error, or a number too large for any type
        loader.Fail("(JSON)", e.what());
    }
    if (duplicates.Found())
        loader.Fail(duplicates.Where(), "given twice (the second would silently win)");
    return loader.Top(j);
}

Scenario LoadScenarioFile(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status))
        throw ScenarioError(path + ": (file): no such file");
    if (std::filesystem::is_directory(status))
        throw ScenarioError(path + ": (file): a directory, not a scenario file");
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size > MAX_SCENARIO_BYTES)
        throw ScenarioError(path + ": (file): " + std::to_string(size) + " bytes, more than the " +
                            std::to_string(MAX_SCENARIO_BYTES) + " (4 MiB) a scenario file may have");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ScenarioError(path + ": (file): cannot be read");
    std::string text;
    // Read at most one byte past the limit: a file that grows meanwhile is refused all the same.
    text.resize(MAX_SCENARIO_BYTES + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad())
        throw ScenarioError(path + ": (file): cannot be read");
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > MAX_SCENARIO_BYTES)
        throw ScenarioError(path + ": (file): more than the " + std::to_string(MAX_SCENARIO_BYTES) +
                            " bytes (4 MiB) a scenario file may have");
    return ParseScenario(text, path);
}

}  // namespace sim
