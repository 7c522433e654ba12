// Simulated code page conversions: Big5 (code page 950) and UTF-8 to wide characters, and wide
// characters to UTF-8, through the C library's iconv; the ANSI code page gives each byte the
// character of its value (the names of files on the host's disk). A wide character here is one code point
// (wchar_t is 32 bits on the host, where Windows has UTF-16 units): the Big5 texts of the
// catalogue are all in the basic plane, where the two count alike.
#include <iconv.h>

#include <cerrno>
#include <string>

#include "sim/machine.h"

using sim::Ptr;

namespace {

constexpr UINT CP_BIG5 = 950;
// A byte the code page cannot read becomes the code page's default character, as with Windows
// when MB_ERR_INVALID_CHARS is not given.
constexpr wchar_t DEFAULT_WIDE = L'?';
constexpr unsigned ONE_BYTE_LIMIT = 0x80, TWO_BYTE_LIMIT = 0x800, THREE_BYTE_LIMIT = 0x10000;
constexpr unsigned LAST_CODE_POINT = 0x10FFFF;
constexpr unsigned SURROGATE_FIRST = 0xD800, SURROGATE_LAST = 0xDFFF;
constexpr unsigned CONTINUATION = 0x80, SIX_BITS = 0x3F;
constexpr unsigned LEAD_TWO = 0xC0, LEAD_THREE = 0xE0, LEAD_FOUR = 0xF0;
constexpr char32_t REPLACEMENT = 0xFFFD;

const char* IconvName(UINT codePage) {
    return codePage == CP_BIG5 ? "CP950" : codePage == CP_UTF8 ? "UTF-8" : nullptr;
}

// The input as wide characters; false when the code page is not simulated. `strict`: a sequence
// the code page cannot read fails the conversion (`unreadable`) rather than becoming the default
// character.
bool ToWide(UINT codePage, const char* bytes, size_t length, bool strict, std::wstring& wide, bool& unreadable) {
    unreadable = false;
    if (codePage == CP_ACP) {
        for (size_t i = 0; i < length; ++i) wide += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
        return true;
    }
    const char* name = IconvName(codePage);
    if (name == nullptr)
        return false;
    iconv_t cd = iconv_open("WCHAR_T", name);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    char* in = const_cast<char*>(bytes);
    size_t inLeft = length;
    while (inLeft > 0) {
        wchar_t out[64];
        char* outPtr = reinterpret_cast<char*>(out);
        size_t outLeft = sizeof out;
        const size_t done = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        wide.append(out, (sizeof out - outLeft) / sizeof(wchar_t));
        if (done == static_cast<size_t>(-1) && errno != E2BIG && strict) {
            unreadable = true;
            break;
        }
        if (done == static_cast<size_t>(-1) && errno != E2BIG) {
            // An unreadable or cut-off sequence: one byte becomes the default character.
            wide += DEFAULT_WIDE;
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return true;
}

void AppendUtf8(char32_t c, std::string& out) {
    if (c > LAST_CODE_POINT || (c >= SURROGATE_FIRST && c <= SURROGATE_LAST))
        c = REPLACEMENT;
    if (c < ONE_BYTE_LIMIT) {
        out += static_cast<char>(c);
    } else if (c < TWO_BYTE_LIMIT) {
        out += static_cast<char>(LEAD_TWO | (c >> 6));
        out += static_cast<char>(CONTINUATION | (c & SIX_BITS));
    } else if (c < THREE_BYTE_LIMIT) {
        out += static_cast<char>(LEAD_THREE | (c >> 12));
        out += static_cast<char>(CONTINUATION | ((c >> 6) & SIX_BITS));
        out += static_cast<char>(CONTINUATION | (c & SIX_BITS));
    } else {
        out += static_cast<char>(LEAD_FOUR | (c >> 18));
        out += static_cast<char>(CONTINUATION | ((c >> 12) & SIX_BITS));
        out += static_cast<char>(CONTINUATION | ((c >> 6) & SIX_BITS));
        out += static_cast<char>(CONTINUATION | (c & SIX_BITS));
    }
}

template <typename Args>
int Refuse(const char* call, const Args& args, DWORD error) {
    SetLastError(error);
    sim::TraceCall(call, args, [&] { return "0, error " + std::to_string(error); });
    return 0;
}

// Hands `converted` to a caller's buffer of `room` units, or says how many it needs (room 0).
template <typename Unit, typename Args>
int Deliver(const char* call, const Args& args, const std::basic_string<Unit>& converted, Unit* out, int room) {
    const int needed = static_cast<int>(converted.size());
    if (room == 0) {
        sim::TraceCall(call, args, [&] { return std::to_string(needed) + " (the size needed)"; });
        return needed;
    }
    if (out == nullptr || room < needed)
        return Refuse(call, args, ERROR_INSUFFICIENT_BUFFER);
    converted.copy(out, converted.size());
    sim::TraceCall(call, args, [&] { return std::to_string(needed); });
    return needed;
}

}  // namespace

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    auto args = [&] {
        return std::to_string(CodePage) + ", " + sim::Hex(dwFlags) + ", " + Ptr(lpMultiByteStr) + ", " +
               std::to_string(cbMultiByte) + ", " + Ptr(lpWideCharStr) + ", " + std::to_string(cchWideChar);
    };
    if (sim::Enter("MultiByteToWideChar", ERROR_NO_UNICODE_TRANSLATION)) {
        sim::TraceCall("MultiByteToWideChar", args, "0 (injected)");
        return 0;
    }
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (dwFlags & ~MB_ERR_INVALID_CHARS) != 0)
        return Refuse("MultiByteToWideChar", args, ERROR_INVALID_PARAMETER);
    // -1: the input runs to its zero, which is converted too.
    const size_t length =
        cbMultiByte == -1 ? std::char_traits<char>::length(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    std::wstring wide;
    bool unreadable = false;
    if (!ToWide(CodePage, lpMultiByteStr, length, (dwFlags & MB_ERR_INVALID_CHARS) != 0, wide, unreadable))
        return Refuse("MultiByteToWideChar", args, ERROR_INVALID_PARAMETER);
    if (unreadable)
        return Refuse("MultiByteToWideChar", args, ERROR_NO_UNICODE_TRANSLATION);
    return Deliver("MultiByteToWideChar", args, wide, lpWideCharStr, cchWideChar);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    auto args = [&] {
        return std::to_string(CodePage) + ", " + sim::Hex(dwFlags) + ", " + Ptr(lpWideCharStr) + ", " +
               std::to_string(cchWideChar) + ", " + Ptr(lpMultiByteStr) + ", " + std::to_string(cbMultiByte);
    };
    if (sim::Enter("WideCharToMultiByte", ERROR_INVALID_PARAMETER)) {
        sim::TraceCall("WideCharToMultiByte", args, "0 (injected)");
        return 0;
    }
    // Only UTF-8 is simulated; it takes no default character, as on Windows.
    if (CodePage != CP_UTF8 || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        dwFlags != 0 || lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr)
        return Refuse("WideCharToMultiByte", args, ERROR_INVALID_PARAMETER);
    const size_t length =
        cchWideChar == -1 ? std::char_traits<wchar_t>::length(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    std::string utf8;
    for (size_t i = 0; i < length; ++i) AppendUtf8(static_cast<char32_t>(lpWideCharStr[i]), utf8);
    return Deliver("WideCharToMultiByte", args, utf8, lpMultiByteStr, cbMultiByte);
}
