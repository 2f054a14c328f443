#include "service/utf.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(Utf8ToUtf16, ConvertsAndReplacesIllFormedBytes) {
  struct Case {
    const char* Label;
    std::string In;
    std::u16string Out;
  } cases[] = {
      {"ascii", "Gate 3", u"Gate 3"},
      {"two-byte", "Z\xC3\xBCrich", u"Z\u00FCrich"},
      {"three-byte", "\xE2\x82\xAC", u"\u20AC"},
      {"four-byte to surrogate pair", "\xF0\x9F\x94\x92", u"\U0001F512"},
      {"right-to-left", "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D", u"\u05E9\u05DC\u05D5\u05DD"},
      {"stray continuation", "a\x80" "b", u"a\uFFFDb"},
      {"truncated sequence", "a\xC3", u"a\uFFFD"},
      {"overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"embedded nul kept", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToUtf16(c.In), c.Out) << c.Label;
}

TEST(Utf16ToUtf8, ConvertsAndReplacesUnpairedSurrogates) {
  EXPECT_EQ(Utf16ToUtf8(u"Z\u00FCrich \U0001F512"), "Z\xC3\xBCrich \xF0\x9F\x94\x92");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(SanitizeUtf8, KeepsValidReplacesInvalid) {
  EXPECT_EQ(SanitizeUtf8("ok \xC3\xBC \xEF\xBF\xBD"), "ok \xC3\xBC \xEF\xBF\xBD");
  EXPECT_EQ(SanitizeUtf8("bad \xFF"), "bad \xEF\xBF\xBD");
}

}  // namespace
}  // namespace velmora
