// The record of one run: a log for people and the same as a JSON document for tools.
#pragma once

#include <string>
#include <vector>

#include "deploy/file_facts.h"
#include "deploy/launch.h"
#include "deploy/outcome.h"

struct RunRecord {
    std::string deployVersion;
    FileFacts deploy;
    std::string updaterPath;
    FileFacts updater;
    std::vector<std::string> arguments;  // scanfw.exe's argv[1..]
    std::string started, ended;          // UTC, ISO 8601 with milliseconds
    UpdaterRun run;
    std::string outputText;  // run.output as UTF-8, or as it came when it could not be converted
    std::string outputNote;  // why it is as it came; empty when converted
    std::vector<int> messages;
    Outcome outcome = Outcome::UpdaterFailed;
};

// Fills outputText and outputNote from run.output.
void ConvertOutput(RunRecord& record);
// UTF-8 text, CRLF line ends; scanfw.exe's output a line to a line, each "\r" of a progress
// line a line end too.
std::string LogText(const RunRecord& record);
// The JSON document (docs/deploying.md names its members).
std::string JsonRecord(const RunRecord& record);
