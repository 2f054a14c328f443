#pragma once
// Texts between the program (UTF-8, UTF-16 as char16_t) and the system's wide
// functions (UTF-16 as wchar_t, which is 16 bits wide on Windows).

#include <string>
#include <string_view>

#include "service/utf.h"

namespace velmora::winui {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

inline std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
inline std::wstring Wide(std::string_view utf8) { return Wide(Utf8ToUtf16(utf8)); }

}  // namespace velmora::winui
