#include "deploy/detection.h"

namespace {

constexpr const char* VALUE_VERSION = "Version";
constexpr const char* VALUE_OUTCOME = "Outcome";
constexpr const char* VALUE_EXIT_CODE = "ExitCode";
constexpr const char* VALUE_WHEN = "When";

LSTATUS SetText(const char* name, const std::string& text) {
    // REG_SZ with its terminating zero.
    return RegSetKeyValueA(HKEY_LOCAL_MACHINE, DETECTION_KEY, name, REG_SZ, text.c_str(),
                           static_cast<DWORD>(text.size() + 1));
}

bool Check(LSTATUS status, const char* what, const char* name, std::string& problem) {
    if (status == ERROR_SUCCESS)
        return true;
    problem =
        std::string(what) + " HKLM\\" + DETECTION_KEY + "\\" + name + " failed with error " + std::to_string(status);
    return false;
}

}  // namespace

bool WriteDetection(const std::string& version, const std::string& outcome, DWORD exitCode, const std::string& when,
                    std::string& problem) {
    const LSTATUS removed = RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, DETECTION_KEY, VALUE_OUTCOME);
    if (removed != ERROR_FILE_NOT_FOUND && !Check(removed, "deleting", VALUE_OUTCOME, problem))
        return false;
    return Check(SetText(VALUE_VERSION, version), "writing", VALUE_VERSION, problem) &&
           Check(RegSetKeyValueA(HKEY_LOCAL_MACHINE, DETECTION_KEY, VALUE_EXIT_CODE, REG_DWORD, &exitCode,
                                 sizeof exitCode),
                 "writing", VALUE_EXIT_CODE, problem) &&
           Check(SetText(VALUE_WHEN, when), "writing", VALUE_WHEN, problem) &&
           Check(SetText(VALUE_OUTCOME, outcome), "writing", VALUE_OUTCOME, problem);
}
