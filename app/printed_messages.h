// Which catalogue messages an output of the updater holds, told from its bytes alone: for the
// deploy, which reads scanfw.exe's output from a pipe, and for scanfw-sim's run report.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/win32.h"

// The ids of the catalogue messages in `output`, in order, for a run whose user language is
// `userLangId`. Line ends may be "\n", as the updater writes them, or "\r\n", as its C runtime
// hands them to a pipe or a file. Progress and completion lines, the empty line before the
// firmware check and the service diagnostic line are passed over; so is anything else that is no
// message.
std::vector<int> PrintedMessages(std::string_view output, LANGID userLangId);
