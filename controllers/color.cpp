#include "controllers/color.h"

#include <algorithm>
#include <cmath>

namespace velmora {
namespace {

double Linear(std::uint8_t channel) {
  const double c = channel / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

std::uint8_t Mix(std::uint8_t from, std::uint8_t to, int step, int steps) {
  return static_cast<std::uint8_t>(std::lround(from + (to - from) * static_cast<double>(step) / steps));
}

}  // namespace

double RelativeLuminance(Color color) {
  return 0.2126 * Linear(color.R) + 0.7152 * Linear(color.G) + 0.0722 * Linear(color.B);
}

double ContrastRatio(Color a, Color b) {
  const double la = RelativeLuminance(a);
  const double lb = RelativeLuminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

Color SubduedTextColor(Color text, Color background) {
  // Contrast falls as the mix nears the background, so the last step that still
  // passes is the most subdued readable colour. Each candidate is checked as the
  // rounded colour that will be drawn, not as an ideal one.
  constexpr int kSteps = 256;
  Color best = text;
  for (int step = 1; step < kSteps; ++step) {
    const Color mixed{Mix(text.R, background.R, step, kSteps), Mix(text.G, background.G, step, kSteps),
                      Mix(text.B, background.B, step, kSteps)};
    if (ContrastRatio(mixed, background) < kSubduedTextContrast) break;
    best = mixed;
  }
  return best;
}

}  // namespace velmora
