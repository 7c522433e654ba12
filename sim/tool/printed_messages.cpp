#include "sim/tool/printed_messages.h"

#include <cctype>
#include <cstring>

#include "app/entry.h"
#include "app/message_texts.h"
#include "app/messages.h"

namespace sim {
namespace {

constexpr const char* DIAGNOSTIC_START = "QueryServiceConfig failed (";
// The progress line formats by their dots: each pads the dots and blanks to nine characters.
constexpr int DOT_AND_BLANK_COLUMNS = 9;
constexpr const char* COMPLETION_TAIL = "... (100%)        \n";

bool At(const std::string& text, size_t pos, const std::string& piece) {
    return text.compare(pos, piece.size(), piece) == 0;
}

// The length of a progress line "\r<title><dots> (<n>%)<blanks>" starting at `pos`, or 0.
size_t ProgressLine(const std::string& text, size_t pos, const std::string& title) {
    if (!At(text, pos, "\r" + title))
        return 0;
    size_t p = pos + 1 + title.size();
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
    if (text.compare(p, blanks, std::string(blanks, ' ')) != 0)
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

}  // namespace

std::vector<int> PrintedMessages(const std::string& output, uint16_t userLangId) {
    const uint16_t language = MessageLanguageFor(userLangId);
    const std::string progressTitle = ProgressTitle(language);
    const std::string completion = std::string("\r") + CompletionTitle(language) + COMPLETION_TAIL;
    // Every message as printed: its text and the printer's line feed.
    std::vector<std::string> printed(MESSAGE_COUNT);
    for (MessageId id = 0; id < MESSAGE_COUNT; ++id) printed[id] = std::string(MessageText(id, language)) + "\n";
    std::vector<int> ids;
    size_t pos = 0;
    while (pos < output.size()) {
        // The longest message that stands here.
        int best = -1;
        size_t bestLength = 0;
        for (MessageId id = 0; id < MESSAGE_COUNT; ++id) {
            if (id == MSG_EMPTY_LINE)
                continue;  // never printed: it would match every empty line
            if (printed[id].size() > bestLength && At(output, pos, printed[id])) {
                best = id;
                bestLength = printed[id].size();
            }
        }
        if (best >= 0) {
            ids.push_back(best);
            pos += bestLength;
            continue;
        }
        if (At(output, pos, completion)) {
            pos += completion.size();
        } else if (size_t n = ProgressLine(output, pos, progressTitle)) {
            pos += n;
        } else if (size_t d = DiagnosticLine(output, pos)) {
            pos += d;
        } else {
            ++pos;  // the empty line before the firmware check, or anything else
        }
    }
    return ids;
}

}  // namespace sim
