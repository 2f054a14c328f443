#pragma once

#include "controllers/form_definition.h"

namespace velmora {

// How a window defined at one pixel density is shown at another. The font scales
// by the ratio of pixels per inch; every position and size by the ratio of the
// scaled font's text height, as the front end measures it, to the definition's
// TextHeight. At the definition's own density nothing is scaled.
class FormScale {
 public:
  // No scaling.
  FormScale() = default;
  // Scales by newTextHeight / oldTextHeight; a ratio that is not positive means none.
  FormScale(int newTextHeight, int oldTextHeight);

  // The scale for a screen of pixelsPerInch, with the text height the front end
  // measured for the font of FontHeightFor(definition, pixelsPerInch).
  static FormScale For(const FormDef& definition, int pixelsPerInch, int measuredTextHeight);
  // The font's character height in pixels at pixelsPerInch, rounded to the nearest.
  static int FontHeightFor(const FormDef& definition, int pixelsPerInch);

  // A length, rounded to the nearest pixel (halves away from zero).
  int Scale(int pixels) const;
  // A rectangle by its edges, so that edges that meet at 96 dpi still meet.
  Bounds Scale(const Bounds& bounds) const;

  int Numerator() const { return FNumerator; }
  int Denominator() const { return FDenominator; }
  bool IsIdentity() const { return FNumerator == FDenominator; }

 private:
  int FNumerator = 1;
  int FDenominator = 1;
};

// a * b / c rounded to the nearest integer, halves away from zero; 0 when c is 0.
int MulDiv(int a, int b, int c);

}  // namespace velmora
