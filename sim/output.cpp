#include "sim/output.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "sim/machine.h"

namespace sim {
namespace {

struct Tap {
    bool active = false;
    bool capture = false;
    bool silenced = false;
    std::string kept;
    std::vector<OutputWrite> writes;
    FILE* stream = nullptr;
    FILE* real = nullptr;
};

Tap& T() {
    static Tap tap;
    return tap;
}

ssize_t WriteTap(void*, const char* data, size_t size) {
    Tap& t = T();
    if (t.silenced)
        return static_cast<ssize_t>(size);
    t.kept.append(data, size);
    t.writes.push_back({M().clock.ElapsedMs(), std::string(data, size)});
    if (!t.capture) {
        size_t done = 0;
        while (done < size) {
            const ssize_t n = write(STDOUT_FILENO, data + done, size - done);
            if (n <= 0)
                break;  // a closed or full standard output loses the rest, as it would
            done += static_cast<size_t>(n);
        }
    }
    return static_cast<ssize_t>(size);
}

}  // namespace

void BeginOutput(bool capture) {
    Tap& t = T();
    if (t.active)
        throw std::logic_error("the updater's output is already redirected");
    std::fflush(stdout);
    t = Tap{};
    t.capture = capture;
    cookie_io_functions_t io{};
    io.write = WriteTap;
    t.stream = fopencookie(nullptr, "w", io);
    if (t.stream == nullptr)
        throw std::runtime_error("cannot make a stream for the updater's output");
    const bool terminal = !capture && isatty(STDOUT_FILENO);
    std::setvbuf(t.stream, nullptr, terminal ? _IOLBF : _IOFBF, BUFSIZ);
    t.real = stdout;
    stdout = t.stream;
    t.active = true;
}

std::string EndOutput() {
    Tap& t = T();
    if (!t.active)
        return {};
    std::fflush(t.stream);
    stdout = t.real;
    std::fclose(t.stream);
    t.active = false;
    return std::move(t.kept);
}

std::vector<OutputWrite> TakeOutputWrites() {
    return std::move(T().writes);
}

void SilenceOutput() {
    std::fflush(stdout);
    T().silenced = true;
}

}  // namespace sim
