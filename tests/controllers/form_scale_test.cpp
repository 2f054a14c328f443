#include "controllers/form_scale.h"

#include <gtest/gtest.h>

#include "controllers/main_window.h"

namespace velmora {
namespace {

TEST(MulDiv, RoundsHalvesAwayFromZero) {
  struct Case {
    int A, B, C, Expected;
  } cases[] = {
      {11, 120, 96, 14},   // 13.75
      {11, 144, 96, 17},   // 16.5
      {11, 192, 96, 22},   // 22
      {11, 108, 96, 12},   // 12.375
      {-11, 144, 96, -17}, // -16.5
      {11, -144, 96, -17},
      {3, 1, 2, 2},
      {5, 1, 2, 3},
      {690, 17, 13, 902},  // 902.3
      {2000000000, 3, 4, 1500000000},  // the product alone would overflow 32 bits
      {7, 7, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MulDiv(c.A, c.B, c.C), c.Expected) << c.A << "*" << c.B << "/" << c.C;
  }
}

TEST(FormScale, TheFontFollowsPixelsPerInchAndEverythingElseTheTextHeight) {
  const FormDef& def = TfrmMain::Definition();
  struct Case {
    const char* Label;
    int PixelsPerInch;
    int MeasuredTextHeight;  // of the font at FontHeightFor
    int Font;
    int ClientWidth, ClientHeight;
    Bounds Grid, Button;
  } cases[] = {
      // At the definition's own density nothing scales, whatever the font measures.
      {"96 dpi", 96, 13, 11, 690, 354, {8, 8, 673, 305}, {607, 319, 75, 25}},
      {"96 dpi, a taller fallback font", 96, 15, 11, 690, 354, {8, 8, 673, 305}, {607, 319, 75, 25}},
      {"120 dpi, Tahoma's 16", 120, 16, 14, 849, 436, {10, 10, 828, 375}, {747, 393, 92, 30}},
      {"144 dpi, text height 20", 144, 20, 17, 1062, 545, {12, 12, 1036, 470}, {934, 491, 115, 38}},
      {"144 dpi, text height 19", 144, 19, 17, 1008, 517, {12, 12, 983, 445}, {887, 466, 110, 37}},
      {"192 dpi, text height 26", 192, 26, 22, 1380, 708, {16, 16, 1346, 610}, {1214, 638, 150, 50}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    EXPECT_EQ(FormScale::FontHeightFor(def, c.PixelsPerInch), c.Font);
    const FormScale scale = FormScale::For(def, c.PixelsPerInch, c.MeasuredTextHeight);
    EXPECT_EQ(scale.Scale(def.ClientWidth), c.ClientWidth);
    EXPECT_EQ(scale.Scale(def.ClientHeight), c.ClientHeight);
    EXPECT_EQ(scale.Scale(def.Grid.Bounds), c.Grid);
    EXPECT_EQ(scale.Scale(def.CloseButton.Bounds), c.Button);
  }
}

TEST(FormScale, EdgesThatMeetStillMeet) {
  const FormScale scale(17, 13);
  const Bounds left{8, 8, 300, 20};
  const Bounds right{308, 8, 373, 20};
  const Bounds a = scale.Scale(left);
  const Bounds b = scale.Scale(right);
  EXPECT_EQ(a.Left + a.Width, b.Left);
}

TEST(FormScale, NonsenseMeansNoScaling) {
  const FormDef& def = TfrmMain::Definition();
  EXPECT_TRUE(FormScale::For(def, 0, 20).IsIdentity());
  EXPECT_TRUE(FormScale::For(def, -96, 20).IsIdentity());
  EXPECT_TRUE(FormScale::For(def, 144, 0).IsIdentity());
  EXPECT_TRUE(FormScale(5, 0).IsIdentity());
  EXPECT_EQ(FormScale::FontHeightFor(def, 0), def.FontHeightPixels);
}

}  // namespace
}  // namespace velmora
