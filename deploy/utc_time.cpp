#include "deploy/utc_time.h"

#include <cstdio>
#include <cstring>

namespace {

// Room for the widest the fields can be, which a WORD allows.
constexpr size_t TIME_TEXT_SIZE = 64;

}  // namespace

SYSTEMTIME UtcNow() {
    SYSTEMTIME now;
    std::memset(&now, 0, sizeof now);
    GetSystemTime(&now);
    return now;
}

std::string IsoTime(const SYSTEMTIME& t, bool milliseconds) {
    char text[TIME_TEXT_SIZE];
    if (milliseconds)
        std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay, t.wHour,
                      t.wMinute, t.wSecond, t.wMilliseconds);
    else
        std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour,
                      t.wMinute, t.wSecond);
    return text;
}

std::string CompactTime(const SYSTEMTIME& t) {
    char text[TIME_TEXT_SIZE];
    std::snprintf(text, sizeof text, "%04u%02u%02uT%02u%02u%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    return text;
}
