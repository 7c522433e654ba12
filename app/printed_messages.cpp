#include "app/printed_messages.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "app/entry.h"
#include "app/message_texts.h"
#include "app/messages.h"

namespace {

constexpr const char* DIAGNOSTIC_START = "QueryServiceConfig failed (";
// The progress line formats by their dots: each pads the dots and blanks to nine characters.
constexpr int DOT_AND_BLANK_COLUMNS = 9;
constexpr const char* COMPLETION_TAIL = "... (100%)        \n";
// What a C runtime writing in text mode makes of each line feed.
constexpr std::string_view PIPE_LINE_END = "\r\n";

bool At(const std::string& text, size_t pos, std::string_view piece) {
    return text.compare(pos, piece.size(), piece) == 0;
}

// The length of a progress line "\r<title><dots> (<n>%)<blanks>" starting at `pos`, or 0.
// `start` is "\r" and the title.
size_t ProgressLine(const std::string& text, size_t pos, const std::string& start) {
    if (!At(text, pos, start))
        return 0;
    size_t p = pos + start.size();
    size_t dots = 0;
    while (p < text.size() && text[p] == '.') ++dots, ++p;
    if (dots != 3 && dots != 6 && dots != 9)
        return 0;
    if (!At(text, p, " ("))
        return 0;
    p += 2;
    const size_t digits = p;
    while (p < text.size() && std::isdigit(static_cast<unsigned char>(text[p]))) ++p;
    if (p == digits || !At(text, p, "%)"))
        return 0;
    p += 2;
    const size_t blanks = DOT_AND_BLANK_COLUMNS - dots;
    if (text.find_first_not_of(' ', p) < p + blanks || text.size() < p + blanks)
        return 0;
    return p + blanks - pos;
}

// The length of the service diagnostic line "QueryServiceConfig failed (<n>)" at `pos`, or 0.
size_t DiagnosticLine(const std::string& text, size_t pos) {
    if (!At(text, pos, DIAGNOSTIC_START))
        return 0;
    size_t p = pos + std::strlen(DIAGNOSTIC_START);
    if (p < text.size() && text[p] == '-')
        ++p;
    const size_t digits = p;
    while (p < text.size() && std::isdigit(static_cast<unsigned char>(text[p]))) ++p;
    if (p == digits || !At(text, p, ")"))
        return 0;
    return p + 1 - pos;
}

constexpr size_t BYTE_VALUES = 256;

// What the output of one language is read for: every message as printed (its text and the
// printer's line feed), the messages that begin with each byte, longest first, and the starts of
// the progress and completion lines.
struct Printed {
    std::vector<std::string> messages;
    std::array<std::vector<MessageId>, BYTE_VALUES> startingWith;
    std::string progressStart;
    std::string completion;
};

Printed MakePrinted(uint16_t language) {
    Printed p;
    for (MessageId id = 0; id < MESSAGE_COUNT; ++id)
        p.messages.push_back(std::string(MessageText(id, language)) + "\n");
    for (MessageId id = 0; id < MESSAGE_COUNT; ++id) {
        // Never looked for: it would match every empty line.
        if (id != MSG_EMPTY_LINE)
            p.startingWith[static_cast<unsigned char>(p.messages[id][0])].push_back(id);
    }
    // Of two messages of one length, the lower id comes first, as it always has.
    for (auto& ids : p.startingWith)
        std::stable_sort(ids.begin(), ids.end(),
                         [&](MessageId a, MessageId b) { return p.messages[a].size() > p.messages[b].size(); });
    p.progressStart = std::string("\r") + ProgressTitle(language);
    p.completion = std::string("\r") + CompletionTitle(language) + COMPLETION_TAIL;
    return p;
}

const Printed& PrintedIn(uint16_t language) {
    static const Printed languages[] = {MakePrinted(LANGUAGE_ENGLISH), MakePrinted(LANGUAGE_CHINESE)};
    return languages[language == LANGUAGE_CHINESE ? 1 : 0];
}

// The output with each "\r\n" back to the "\n" the updater wrote. No "\r" the updater writes
// stands before a line feed: its progress lines start with one.
std::string WithLineFeeds(std::string_view output) {
    std::string text;
    text.reserve(output.size());
    for (size_t pos = 0; pos < output.size();) {
        if (output.substr(pos, PIPE_LINE_END.size()) == PIPE_LINE_END) {
            text += '\n';
            pos += PIPE_LINE_END.size();
        } else {
            text += output[pos++];
        }
    }
    return text;
}

}  // namespace

std::vector<int> PrintedMessages(std::string_view bytes, LANGID userLangId) {
    const std::string output = WithLineFeeds(bytes);
    const Printed& texts = PrintedIn(MessageLanguageFor(userLangId));
    const std::vector<std::string>& printed = texts.messages;
    const std::string& progressStart = texts.progressStart;
    const std::string& completion = texts.completion;
    std::vector<int> ids;
    size_t pos = 0;
    while (pos < output.size()) {
        // The longest message that stands here: the first of those that begin with this byte.
        int best = -1;
        size_t bestLength = 0;
        for (MessageId id : texts.startingWith[static_cast<unsigned char>(output[pos])]) {
            if (At(output, pos, printed[id])) {
                best = id;
                bestLength = printed[id].size();
                break;
            }
        }
        if (best >= 0) {
            ids.push_back(best);
            pos += bestLength;
            continue;
        }
        if (At(output, pos, completion)) {
            pos += completion.size();
        } else if (size_t n = ProgressLine(output, pos, progressStart)) {
            pos += n;
        } else if (size_t d = DiagnosticLine(output, pos)) {
            pos += d;
        } else {
            ++pos;  // the empty line before the firmware check, or anything else
        }
    }
    return ids;
}
