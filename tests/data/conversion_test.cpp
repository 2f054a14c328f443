#include "data/conversion.h"

#include <gtest/gtest.h>

#include <limits>

#include "data/database_error.h"

namespace velmora {
namespace {

const FieldDef kSite{"Site", FieldType::Integer, 0, false, true};
const FieldDef kType{"Controller Type", FieldType::String, 11, true, false};
const FieldDef kDescription{"Description", FieldType::WideString, 255, false, false};

TEST(ToInteger32, ConvertsOrFailsNamingFieldAndValue) {
  struct Case {
    const char* Label;
    Variant In;
    std::optional<std::int32_t> Out;  // when Error is null
    const char* Error;
  } cases[] = {
      {"null", Variant::Null(), std::nullopt, nullptr},
      {"zero", Variant::FromInteger(0), 0, nullptr},
      {"largest", Variant::FromInteger(2147483647), 2147483647, nullptr},
      {"smallest", Variant::FromInteger(-2147483648LL), std::numeric_limits<std::int32_t>::min(), nullptr},
      {"one past largest", Variant::FromInteger(2147483648LL), {},
       "Field 'Site' cannot hold 2147483648: out of range for a 32-bit integer"},
      {"one past smallest", Variant::FromInteger(-2147483649LL), {},
       "Field 'Site' cannot hold -2147483649: out of range for a 32-bit integer"},
      {"2^32 does not wrap to 0", Variant::FromInteger(4294967296LL), {},
       "Field 'Site' cannot hold 4294967296: out of range for a 32-bit integer"},
      {"numeric text", Variant::FromText(" 42 "), 42, nullptr},
      {"negative text", Variant::FromWideText(u"-7"), -7, nullptr},
      {"plus sign", Variant::FromText("+3"), 3, nullptr},
      {"non-numeric text", Variant::FromText("abc"), {}, "Field 'Site' cannot hold 'abc': not a valid integer"},
      {"trailing junk", Variant::FromText("12x"), {}, "Field 'Site' cannot hold '12x': not a valid integer"},
      {"empty text", Variant::FromText(""), {}, "Field 'Site' cannot hold '': not a valid integer"},
      {"text past 32 bits", Variant::FromText("99999999999"), {},
       "Field 'Site' cannot hold '99999999999': out of range for a 32-bit integer"},
      {"text past 64 bits", Variant::FromText("99999999999999999999"), {},
       "Field 'Site' cannot hold '99999999999999999999': out of range for an integer"},
      {"whole real", Variant::FromReal(12.0), 12, nullptr},
      {"fractional real", Variant::FromReal(1.5), {}, "Field 'Site' cannot hold 1.5: not a whole number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    if (c.Error == nullptr) {
      EXPECT_EQ(ToInteger32(kSite, c.In), c.Out);
    } else {
      try {
        ToInteger32(kSite, c.In);
        ADD_FAILURE() << "no failure";
      } catch (const DatabaseError& e) {
        EXPECT_STREQ(e.what(), c.Error);
      }
    }
  }
}

TEST(ToWideText, ConvertsUtf8AndShortensVisibly) {
  // Variants borrow their text: keep it alive for the table.
  const std::string x255(255, 'x'), x256(256, 'x');
  struct Case {
    const char* Label;
    Variant In;
    bool NotNull;
    std::u16string Out;
  } cases[] = {
      {"null", Variant::Null(), false, u""},
      {"utf-8 to utf-16", Variant::FromText("Z\xC3\xBCrich \xD7\xA9"), true, u"Z\u00FCrich \u05E9"},
      {"utf-16 kept", Variant::FromWideText(u"\U0001F512 lock"), true, u"\U0001F512 lock"},
      {"invalid utf-8 replaced", Variant::FromText("a\xFF"), true, u"a\uFFFD"},
      {"integer as text", Variant::FromInteger(-5), true, u"-5"},
      {"exactly 255 kept", Variant::FromText(x255), true, std::u16string(255, u'x')},
      {"256 shortened with a mark", Variant::FromText(x256), true,
       std::u16string(254, u'x') + u"\u2026"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    std::u16string out;
    EXPECT_EQ(ToWideText(kDescription, c.In, out), c.NotNull);
    EXPECT_EQ(out, c.Out);
  }
}

TEST(ToWideText, NeverSplitsASurrogatePair) {
  std::u16string in(253, u'x');
  in += u"\U0001F512\U0001F512";  // code units 254 to 257
  std::u16string out;
  ToWideText(kDescription, Variant::FromWideText(in), out);
  EXPECT_EQ(out, std::u16string(253, u'x') + u"\u2026");
}

TEST(ToWideText, ReplacesUnpairedSurrogates) {
  struct Case {
    const char* Label;
    std::u16string In;
    std::u16string Out;
  } cases[] = {
      {"lone high", std::u16string(u"a") + char16_t(0xD800) + u"b", u"a\uFFFDb"},
      {"lone low", std::u16string(u"a") + char16_t(0xDC00), u"a\uFFFD"},
      {"high at the end", std::u16string(u"a") + char16_t(0xDBFF), u"a\uFFFD"},
      {"low before high", std::u16string(1, char16_t(0xDC00)) + char16_t(0xD800), u"\uFFFD\uFFFD"},
      {"pair kept", u"\U0001F512", u"\U0001F512"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    std::u16string out;
    EXPECT_TRUE(ToWideText(kDescription, Variant::FromWideText(c.In), out));
    EXPECT_EQ(out, c.Out);
  }
}

TEST(ToText, ShortensByCharactersNotBytes) {
  struct Case {
    const char* Label;
    Variant In;
    std::string Out;
  } cases[] = {
      {"11 characters fit", Variant::FromText("Kestrel-Hub"), "Kestrel-Hub"},
      {"non-ASCII 11 characters fit", Variant::FromText("\xC3\x84rden-L-\xC3\x84\xC3\x84\xC3\x84"),
       "\xC3\x84rden-L-\xC3\x84\xC3\x84\xC3\x84"},
      {"12 characters shortened", Variant::FromText("Kestrel-Hub2"), "Kestrel-Hu\xE2\x80\xA6"},
      {"from utf-16", Variant::FromWideText(u"Z7-RT"), "Z7-RT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    std::string out;
    EXPECT_TRUE(ToText(kType, c.In, out));
    EXPECT_EQ(out, c.Out);
  }
}

}  // namespace
}  // namespace velmora
