#include "deploy/command_line.h"

namespace {

constexpr const char* SPLITTING = " \t\n\v\"";

// One argument as the C runtime reads it back: inside quotes, backslashes are literal unless a
// quote follows them, so those before a quote (and before the closing one) are doubled.
std::string Quoted(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(SPLITTING) == std::string::npos)
        return argument;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    out += '"';
    return out;
}

}  // namespace

std::string CommandLineOf(const std::string& program, const std::vector<std::string>& arguments) {
    std::string line(1, '"');
    line += program;
    line += '"';
    for (const std::string& argument : arguments) {
        line += ' ';
        line += Quoted(argument);
    }
    return line;
}
