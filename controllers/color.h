#pragma once

#include <cstdint>

namespace velmora {

// An sRGB colour, 8 bits a channel, free of any toolkit.
struct Color {
  std::uint8_t R = 0;
  std::uint8_t G = 0;
  std::uint8_t B = 0;
  bool operator==(const Color&) const = default;
};

// The least contrast text must keep against its background to count as readable
// (WCAG 2 level AA for normal text).
inline constexpr double kMinimumTextContrast = 4.5;

// Relative luminance, 0 (black) to 1 (white), as WCAG 2 defines it.
double RelativeLuminance(Color color);
// (lighter + 0.05) / (darker + 0.05): 1 for equal colours, 21 for black on white.
double ContrastRatio(Color a, Color b);

// The contrast subdued text is moved to: above the minimum, because thin
// anti-aliased strokes are drawn a shade lighter than their colour.
inline constexpr double kSubduedTextContrast = 5.0;

// The colour of subdued text on background: text moved towards the background as
// far as it can go while keeping kSubduedTextContrast against it, so it stands
// apart from ordinary text yet stays readable. When text itself has less contrast
// than that, text is returned unchanged: moving it would only make it worse.
Color SubduedTextColor(Color text, Color background);

}  // namespace velmora
