#include "data/conversion.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "data/database_error.h"
#include "service/utf.h"

namespace velmora {
namespace {

constexpr char16_t kEllipsis = u'\u2026';

std::string Quoted(const Variant& value) {
  // Keep the message readable whatever the value holds.
  std::string text = DisplayText(value);
  std::string shown;
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) != 0x80 && ++characters > 40) {
      shown += "\xE2\x80\xA6";
      break;
    }
    shown += WithVisibleControls(std::string_view(&text[i], 1));
  }
  return value.Type == Variant::Kind::Text || value.Type == Variant::Kind::WideText ? "'" + shown + "'" : shown;
}

[[noreturn]] void CannotHold(const FieldDef& field, const Variant& value, const char* why) {
  throw DatabaseError("Field '" + field.Name + "' cannot hold " + Quoted(value) + ": " + why);
}

// Decimal text with surrounding blanks; nullopt when it is not a number at all.
std::optional<std::int64_t> ParseInteger(const FieldDef& field, const Variant& value, std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t result = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (text.empty() || ec == std::errc::invalid_argument || end != text.data() + text.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) CannotHold(field, value, "out of range for an integer");
  return result;
}

std::int64_t IntegerOf(const FieldDef& field, const Variant& value) {
  switch (value.Type) {
    case Variant::Kind::Integer:
      return value.Integer;
    case Variant::Kind::Real:
      if (!std::isfinite(value.Real) || std::trunc(value.Real) != value.Real) {
        CannotHold(field, value, "not a whole number");
      }
      if (value.Real < -9.2e18 || value.Real > 9.2e18) CannotHold(field, value, "out of range for an integer");
      return static_cast<std::int64_t>(value.Real);
    case Variant::Kind::Text:
    case Variant::Kind::WideText: {
      const std::string text = value.Type == Variant::Kind::Text ? std::string(value.Text) : Utf16ToUtf8(value.WideText);
      if (const auto parsed = ParseInteger(field, value, text)) return *parsed;
      CannotHold(field, value, "not a valid integer");
    }
    case Variant::Kind::Null:
      break;
  }
  return 0;
}

// How many code units of a UTF-8 / UTF-16 text make its first n characters.
std::size_t Utf8Prefix(std::string_view text, std::size_t n) {
  std::size_t i = 0;
  for (std::size_t chars = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && chars++ == n) break;
  }
  return i;
}

std::size_t Utf16Prefix(std::u16string_view text, std::size_t n) {
  if (n >= text.size()) return text.size();
  // Never split a surrogate pair.
  return (text[n] >= 0xDC00 && text[n] <= 0xDFFF && n > 0) ? n - 1 : n;
}

// As ill-formed UTF-8 becomes U+FFFD, so does a surrogate without its partner:
// what the table holds is always well-formed.
void ReplaceUnpairedSurrogates(std::u16string& text) {
  const auto high = [](char16_t u) { return u >= 0xD800 && u <= 0xDBFF; };
  const auto low = [](char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (high(text[i]) && i + 1 < text.size() && low(text[i + 1])) {
      ++i;
    } else if (high(text[i]) || low(text[i])) {
      text[i] = u'\uFFFD';
    }
  }
}

}  // namespace

std::optional<std::int64_t> ToInteger64(const FieldDef& field, const Variant& value) {
  if (value.IsNull()) return std::nullopt;
  return IntegerOf(field, value);
}

std::optional<std::int32_t> ToInteger32(const FieldDef& field, const Variant& value) {
  if (value.IsNull()) return std::nullopt;
  const std::int64_t v = IntegerOf(field, value);
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
    CannotHold(field, value, "out of range for a 32-bit integer");
  }
  return static_cast<std::int32_t>(v);
}

bool ToText(const FieldDef& field, const Variant& value, std::string& out) {
  out.clear();
  switch (value.Type) {
    case Variant::Kind::Null:
      return false;
    case Variant::Kind::Text:
      out = SanitizeUtf8(value.Text);
      break;
    case Variant::Kind::WideText:
      AppendUtf16AsUtf8(value.WideText, out);
      break;
    default:
      out = DisplayText(value);
      break;
  }
  if (field.Size > 0) {
    const std::size_t keep = Utf8Prefix(out, static_cast<std::size_t>(field.Size));
    if (keep < out.size()) {
      out.resize(Utf8Prefix(out, static_cast<std::size_t>(field.Size) - 1));
      out += "\xE2\x80\xA6";
    }
  }
  return true;
}

bool ToWideText(const FieldDef& field, const Variant& value, std::u16string& out) {
  out.clear();
  switch (value.Type) {
    case Variant::Kind::Null:
      return false;
    case Variant::Kind::Text:
      AppendUtf8AsUtf16(value.Text, out);
      break;
    case Variant::Kind::WideText:
      out.assign(value.WideText);
      ReplaceUnpairedSurrogates(out);
      break;
    default:
      AppendUtf8AsUtf16(DisplayText(value), out);
      break;
  }
  if (field.Size > 0 && out.size() > static_cast<std::size_t>(field.Size)) {
    out.resize(Utf16Prefix(out, static_cast<std::size_t>(field.Size) - 1));
    out += kEllipsis;
  }
  return true;
}

std::string DisplayText(const Variant& value) {
  switch (value.Type) {
    case Variant::Kind::Null:
      return {};
    case Variant::Kind::Integer:
      return std::to_string(value.Integer);
    case Variant::Kind::Real: {
      char buffer[32];
      const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value.Real);
      return ec == std::errc() ? std::string(buffer, end) : std::string();
    }
    case Variant::Kind::Text:
      return SanitizeUtf8(value.Text);
    case Variant::Kind::WideText:
      return Utf16ToUtf8(value.WideText);
  }
  return {};
}

}  // namespace velmora
