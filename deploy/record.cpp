#include "deploy/record.h"

#include "deploy/text_utf8.h"
#include "probe/json_value.h"

namespace {

constexpr const char* LINE_END = "\r\n";
constexpr const char* OUTPUT_MARGIN = "  | ";
// Notepad and its kind take the file for UTF-8 by this mark.
constexpr const char* UTF8_MARK = "\xEF\xBB\xBF";

std::string Joined(const std::vector<int>& numbers) {
    std::string text;
    for (int n : numbers) {
        if (!text.empty())
            text += ' ';
        text += std::to_string(n);
    }
    return text.empty() ? "(none)" : text;
}

std::string ArgumentsText(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& a : arguments) {
        if (!text.empty())
            text += ' ';
        text += '"';
        text += a;
        text += '"';
    }
    return text.empty() ? "(none)" : text;
}

std::string Known(const std::string& text) {
    return text.empty() ? "unknown" : text;
}

std::string FactsText(const FileFacts& facts) {
    if (!facts.read)
        return "not readable";
    return "version " + Known(facts.version) + ", SHA-256 " + Known(facts.sha256);
}

// Each line of the output, "\r\n", "\n" and a lone "\r" after some text all ending one.
std::vector<std::string> OutputLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        const bool lineEnd = c == '\n' || (i + 1 < text.size() && text[i + 1] == '\n');
        if (c == '\r' && lineEnd)
            ++i;
        // A progress line's "\r" at the start of an empty line changes nothing on a screen.
        if (lineEnd || !line.empty())
            lines.push_back(line);
        line.clear();
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

JsonValue TextOrNull(const std::string& text) {
    return text.empty() ? JsonValue{} : JsonString(text);
}

}  // namespace

void ConvertOutput(RunRecord& r) {
    DWORD error = ERROR_SUCCESS;
    r.outputNote.clear();
    if (Big5ToUtf8(r.run.output, r.outputText, error))
        return;
    // Kept as it came: each byte is then a character of its own in the JSON document.
    r.outputText = r.run.output;
    r.outputNote = "not converted to UTF-8 (error " + std::to_string(error) + "); as it came";
}

std::string LogText(const RunRecord& r) {
    const OutcomeInfo& outcome = InfoOf(r.outcome);
    std::string log = UTF8_MARK;
    auto line = [&](const std::string& text) { log += text + LINE_END; };
    line("scanfw-deploy " + r.deployVersion + ": " + FactsText(r.deploy));
    line("scanfw.exe " + r.updaterPath + ": " + FactsText(r.updater));
    line("arguments: " + ArgumentsText(r.arguments));
    line("started: " + r.started);
    line("ended: " + r.ended);
    if (r.run.started)
        line("scanfw.exe exit code: " + std::to_string(r.run.exitCode));
    if (r.run.failedCall != nullptr)
        line(std::string(r.run.started ? "following scanfw.exe: " : "scanfw.exe not started: ") + r.run.failedCall +
             " failed with error " + std::to_string(r.run.error));
    line("output of scanfw.exe" + (r.outputNote.empty() ? std::string(":") : " (" + r.outputNote + "):"));
    for (const std::string& l : OutputLines(r.outputText)) line(OUTPUT_MARGIN + l);
    line("messages: " + Joined(r.messages));
    line("outcome: " + std::string(outcome.name) + " (" + outcome.meaning + ")");
    line("exit code: " + std::to_string(outcome.exitCode));
    return log;
}

std::string JsonRecord(const RunRecord& r) {
    const OutcomeInfo& outcome = InfoOf(r.outcome);
    auto facts = [](const FileFacts& f, JsonValue& into) {
        Add(into, "version", TextOrNull(f.version));
        Add(into, "sha256", TextOrNull(f.sha256));
    };
    JsonValue deploy = JsonObject();
    Add(deploy, "version", JsonString(r.deployVersion));
    Add(deploy, "sha256", TextOrNull(r.deploy.sha256));
    JsonValue updater = JsonObject();
    Add(updater, "path", JsonString(r.updaterPath));
    facts(r.updater, updater);
    Add(updater, "started", JsonBool(r.run.started));
    Add(updater, "exitCode", r.run.started ? JsonNumber(r.run.exitCode) : JsonValue{});
    Add(updater, "failedCall", r.run.failedCall != nullptr ? JsonString(r.run.failedCall) : JsonValue{});
    Add(updater, "error", r.run.failedCall != nullptr ? JsonNumber(r.run.error) : JsonValue{});
    JsonValue arguments = JsonArray();
    for (const std::string& a : r.arguments) Append(arguments, JsonString(a));
    JsonValue messages = JsonArray();
    for (int id : r.messages) Append(messages, JsonNumber(id));

    JsonValue document = JsonObject();
    Add(document, "deploy", std::move(deploy));
    Add(document, "updater", std::move(updater));
    Add(document, "arguments", std::move(arguments));
    Add(document, "started", JsonString(r.started));
    Add(document, "ended", JsonString(r.ended));
    Add(document, "output", JsonString(r.outputText));
    Add(document, "messages", std::move(messages));
    Add(document, "outcome", JsonString(outcome.name));
    Add(document, "exitCode", JsonNumber(outcome.exitCode));
    return JsonText(document);
}
