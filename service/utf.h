#pragma once

#include <string>
#include <string_view>

namespace velmora {

// UTF-8 to UTF-16. Bytes that are not well-formed UTF-8 become U+FFFD each, so no
// input is dropped silently and no invalid sequence is passed on.
std::u16string Utf8ToUtf16(std::string_view text);
void AppendUtf8AsUtf16(std::string_view text, std::u16string& out);

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
void AppendUtf16AsUtf8(std::u16string_view text, std::string& out);

// Text with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view text);

}  // namespace velmora
