#include "deploy/text_utf8.h"

namespace {

constexpr UINT CODE_PAGE_BIG5 = 950;

}  // namespace

bool Big5ToUtf8(std::string_view bytes, std::string& utf8, DWORD& error) {
    utf8.clear();
    error = ERROR_SUCCESS;
    if (bytes.empty())
        return true;
    const int length = static_cast<int>(bytes.size());
    const int wideLength = MultiByteToWideChar(CODE_PAGE_BIG5, 0, bytes.data(), length, nullptr, 0);
    std::wstring wide(static_cast<size_t>(wideLength > 0 ? wideLength : 0), L'\0');
    if (wideLength <= 0 ||
        MultiByteToWideChar(CODE_PAGE_BIG5, 0, bytes.data(), length, wide.data(), wideLength) != wideLength) {
        error = GetLastError();
        return false;
    }
    const int utf8Length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(utf8Length > 0 ? utf8Length : 0), '\0');
    if (utf8Length <= 0 || WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, text.data(), utf8Length, nullptr,
                                               nullptr) != utf8Length) {
        error = GetLastError();
        return false;
    }
    utf8 = std::move(text);
    return true;
}
