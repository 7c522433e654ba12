// How FindResourceA answers in an executable that carries BINARY 121 under Chinese (Taiwan) and
// no BINARY 131. The Windows tests check this table against Wine and the host tests against the
// simulated host, so the simulation keeps Windows' answers.
#pragma once

#include "platform/win32.h"

struct LookupCase {
    const char* what;
    LPCSTR name;
    LPCSTR type;
    DWORD error;  // ERROR_SUCCESS: found
};

// A numeric resource type that the executable does not carry (RT_RCDATA).
constexpr WORD RCDATA_TYPE_ID = 10;

inline const LookupCase LOOKUP_CASES[] = {
    {"121 by number", MAKEINTRESOURCEA(121), "BINARY", ERROR_SUCCESS},
    {"121 by \"#121\"", "#121", "BINARY", ERROR_SUCCESS},
    {"type in lower case", MAKEINTRESOURCEA(121), "binary", ERROR_SUCCESS},
    {"type in mixed case", MAKEINTRESOURCEA(121), "Binary", ERROR_SUCCESS},
    {"131 is absent", MAKEINTRESOURCEA(131), "BINARY", ERROR_RESOURCE_NAME_NOT_FOUND},
    {"\"#131\" is absent", "#131", "BINARY", ERROR_RESOURCE_NAME_NOT_FOUND},
    {"a name that is no number", "FIRMWARE", "BINARY", ERROR_RESOURCE_NAME_NOT_FOUND},
    {"an id never used", MAKEINTRESOURCEA(122), "BINARY", ERROR_RESOURCE_NAME_NOT_FOUND},
    {"another string type", MAKEINTRESOURCEA(121), "BINARIES", ERROR_RESOURCE_TYPE_NOT_FOUND},
    {"a numeric type", MAKEINTRESOURCEA(121), MAKEINTRESOURCEA(RCDATA_TYPE_ID), ERROR_RESOURCE_TYPE_NOT_FOUND},
};
