// What the record says of an exe: its SHA-256 and the file version its version resource gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct FileFacts {
    bool read = false;    // false: the file could not be read (the rest is empty)
    std::string sha256;   // 64 hex digits; empty when the hashing failed
    std::string version;  // "a.b.c.d"; empty when the file has no version resource
};

FileFacts FactsOf(const std::string& path);

// The file version of the version resource in an exe's bytes: found by its key "VS_VERSION_INFO"
// (UTF-16) and the fixed part's signature after it. Empty when there is none.
std::string FileVersionIn(const uint8_t* bytes, size_t size);
