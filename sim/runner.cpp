#include "sim/runner.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "app/entry.h"
#include "sim/report.h"

namespace sim {
namespace {

// Redirects file descriptor 1 into a temporary file for the lifetime of the object.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        file_ = std::tmpfile();
        if (file_ == nullptr) throw std::runtime_error("cannot create a file to capture standard output");
        saved_ = dup(STDOUT_FILENO);
        if (saved_ < 0 || dup2(fileno(file_), STDOUT_FILENO) < 0)
            throw std::runtime_error("cannot redirect standard output");
    }
    std::string Finish() {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
        std::string text;
        std::rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) text.append(buf, n);
        std::fclose(file_);
        file_ = nullptr;
        return text;
    }
    ~StdoutCapture() {
        if (saved_ >= 0) Finish();
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

private:
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

}  // namespace

RunResult RunUpdater(const Scenario& scenario, const RunOptions& options, bool captureOutput,
                     const std::vector<std::string>* args) {
    const std::vector<std::string>& arguments = args != nullptr ? *args : scenario.args;
    std::vector<std::string> storage;
    storage.push_back("scanfw.exe");
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);

    Boot(scenario, options);
    RunResult result;
    if (captureOutput) {
        StdoutCapture capture;
        result.exitCode = UpdaterMain(static_cast<int>(storage.size()), argv.data());
        result.output = capture.Finish();
    } else {
        result.exitCode = UpdaterMain(static_cast<int>(storage.size()), argv.data());
        std::fflush(stdout);
    }
    result.report = BuildReport(result.exitCode);
    result.journal = M().journal;
    return result;
}

}  // namespace sim
