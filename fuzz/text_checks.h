#pragma once
// Well-formedness checks for the fuzz targets, written out independently of the
// conversions they check (service/utf.h).

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::fuzz {

// Well-formed UTF-8 as Unicode defines it: shortest forms, no surrogates, at most
// U+10FFFF; byte range by byte range (Unicode's table 3-7).
inline bool IsValidUtf8(std::string_view s) {
  const auto in = [](unsigned char c, unsigned lo, unsigned hi) { return c >= lo && c <= hi; };
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t length = 0;
    unsigned lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (c <= 0x7F) {
      length = 1;
    } else if (in(c, 0xC2, 0xDF)) {
      length = 2;
    } else if (c == 0xE0) {
      length = 3, lo = 0xA0;
    } else if (in(c, 0xE1, 0xEC) || in(c, 0xEE, 0xEF)) {
      length = 3;
    } else if (c == 0xED) {
      length = 3, hi = 0x9F;
    } else if (c == 0xF0) {
      length = 4, lo = 0x90;
    } else if (in(c, 0xF1, 0xF3)) {
      length = 4;
    } else if (c == 0xF4) {
      length = 4, hi = 0x8F;
    } else {
      return false;
    }
    if (i + length > s.size()) return false;
    if (length > 1 && !in(static_cast<unsigned char>(s[i + 1]), lo, hi)) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (!in(static_cast<unsigned char>(s[i + k]), 0x80, 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

inline bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The units with every unpaired surrogate replaced by U+FFFD.
inline std::u16string ReplaceLoneSurrogates(std::u16string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (IsHighSurrogate(s[i]) && i + 1 < s.size() && IsLowSurrogate(s[i + 1])) {
      out += s[i];
      out += s[++i];
    } else {
      out += (IsHighSurrogate(s[i]) || IsLowSurrogate(s[i])) ? u'\uFFFD' : s[i];
    }
  }
  return out;
}

inline bool IsWellFormedUtf16(std::u16string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (IsHighSurrogate(s[i]) && i + 1 < s.size() && IsLowSurrogate(s[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(s[i]) || IsLowSurrogate(s[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace velmora::fuzz
