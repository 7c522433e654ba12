// Bytes as text of lower-case hexadecimal pairs: the one encoder of the programs, the simulated
// host and the tools (scenario files, captures, reports and traces all write bytes this way).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Two digits a byte, `separator` between the pairs: HexBytes({0x20, 0x02}, 2) is "2002".
std::string HexBytes(const uint8_t* bytes, size_t count, const char* separator = "");
