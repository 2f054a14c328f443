#include "controllers/color.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(Contrast, KnownRatios) {
  struct Case {
    const char* Label;
    Color A, B;
    double Expected;
  } cases[] = {
      {"black on white", {0, 0, 0}, {255, 255, 255}, 21.0},
      {"white on black", {255, 255, 255}, {0, 0, 0}, 21.0},
      {"equal colours", {120, 30, 200}, {120, 30, 200}, 1.0},
      {"#777 on white, just under AA", {0x77, 0x77, 0x77}, {255, 255, 255}, 4.48},
      {"Qt's disabled grey #bebebe on white", {0xbe, 0xbe, 0xbe}, {255, 255, 255}, 1.86},
  };
  for (const Case& c : cases) EXPECT_NEAR(ContrastRatio(c.A, c.B), c.Expected, 0.01) << c.Label;
}

TEST(SubduedTextColor, StaysReadableYetStandsApart) {
  struct Case {
    const char* Label;
    Color Text, Background;
  } cases[] = {
      {"light palette", {0, 0, 0}, {255, 255, 255}},
      {"dark red on white", {0x80, 0, 0}, {255, 255, 255}},
      {"dark palette", {255, 255, 255}, {0x2a, 0x2a, 0x2a}},
      {"blue on pale yellow", {0, 0, 0x80}, {0xff, 0xff, 0xe0}},
      {"grey on white, contrast 7", {0x59, 0x59, 0x59}, {255, 255, 255}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    const Color subdued = SubduedTextColor(c.Text, c.Background);
    EXPECT_GE(ContrastRatio(subdued, c.Background), kSubduedTextContrast);
    static_assert(kSubduedTextContrast >= kMinimumTextContrast);
    // As far from the text as readability allows: one more step would fail.
    EXPECT_LT(ContrastRatio(subdued, c.Background), kSubduedTextContrast + 0.15);
    EXPECT_NE(subdued, c.Text);
  }
}

TEST(SubduedTextColor, TextThatIsAlreadyFaintIsLeftAlone) {
  for (const Color text : {Color{0xbe, 0xbe, 0xbe}, Color{0x77, 0x77, 0x77}, Color{0x70, 0x70, 0x70}, Color{255, 255, 255}}) {
    EXPECT_EQ(SubduedTextColor(text, {255, 255, 255}), text);
  }
}

}  // namespace
}  // namespace velmora
