#include "controllers/form_scale.h"

#include <cstdint>
#include <cstdlib>

namespace velmora {

int MulDiv(int a, int b, int c) {
  if (c == 0) return 0;
  const std::int64_t product = std::int64_t{a} * b;
  const std::int64_t half = std::llabs(c) / 2;
  const bool negative = (product < 0) != (c < 0);
  const std::int64_t magnitude = (std::llabs(product) + half) / std::llabs(c);
  return static_cast<int>(negative ? -magnitude : magnitude);
}

FormScale::FormScale(int newTextHeight, int oldTextHeight) {
  if (newTextHeight > 0 && oldTextHeight > 0) {
    FNumerator = newTextHeight;
    FDenominator = oldTextHeight;
  }
}

FormScale FormScale::For(const FormDef& definition, int pixelsPerInch, int measuredTextHeight) {
  // At the density the window was laid out for, its pixels are used as they are,
  // whatever the font measures on this system.
  if (pixelsPerInch <= 0 || pixelsPerInch == definition.PixelsPerInch) return {};
  return FormScale(measuredTextHeight, definition.TextHeight);
}

int FormScale::FontHeightFor(const FormDef& definition, int pixelsPerInch) {
  if (pixelsPerInch <= 0 || definition.PixelsPerInch <= 0) return definition.FontHeightPixels;
  return MulDiv(definition.FontHeightPixels, pixelsPerInch, definition.PixelsPerInch);
}

int FormScale::Scale(int pixels) const { return MulDiv(pixels, FNumerator, FDenominator); }

Bounds FormScale::Scale(const Bounds& b) const {
  const int left = Scale(b.Left);
  const int top = Scale(b.Top);
  return {left, top, Scale(b.Left + b.Width) - left, Scale(b.Top + b.Height) - top};
}

}  // namespace velmora
