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

// The visible symbol for a control character: U+2400 + c for U+0000..U+001F,
// U+2421 for DEL; any other character is returned as it is. A stored control
// character would otherwise draw as nothing, end a C string early or break a line.
constexpr char32_t VisibleControl(char32_t c) {
  if (c < 0x20) return 0x2400 + c;
  if (c == 0x7F) return 0x2421;
  return c;
}
// Text with every control character as its visible symbol.
std::u16string WithVisibleControls(std::u16string text);
std::string WithVisibleControls(std::string_view utf8);

}  // namespace velmora
