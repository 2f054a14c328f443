#pragma once

#include <cstdint>
#include <string_view>

namespace velmora {

// A field value as a record set hands it out: null, integer, real or text. Text is
// borrowed, valid until the record set moves or is asked for the same field again;
// a service may hand it out as UTF-8 or as UTF-16, whichever it holds.
struct Variant {
  enum class Kind : std::uint8_t { Null, Integer, Real, Text, WideText };

  Kind Type = Kind::Null;
  std::int64_t Integer = 0;
  double Real = 0;
  std::string_view Text;
  std::u16string_view WideText;

  static Variant Null() { return {}; }
  static Variant FromInteger(std::int64_t v) { Variant x; x.Type = Kind::Integer; x.Integer = v; return x; }
  static Variant FromReal(double v) { Variant x; x.Type = Kind::Real; x.Real = v; return x; }
  static Variant FromText(std::string_view v) { Variant x; x.Type = Kind::Text; x.Text = v; return x; }
  static Variant FromWideText(std::u16string_view v) { Variant x; x.Type = Kind::WideText; x.WideText = v; return x; }

  bool IsNull() const { return Type == Kind::Null; }
};

}  // namespace velmora
