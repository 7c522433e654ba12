// Which catalogue messages an output holds, told from its bytes alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The ids of the catalogue messages in `output`, in order, for a run whose user language is
// `userLangId`. Progress and completion lines, the empty line before the firmware check and the
// service diagnostic line are passed over; so is anything else that is no message.
std::vector<int> PrintedMessages(const std::string& output, uint16_t userLangId);

}  // namespace sim
