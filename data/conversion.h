#pragma once
// Conversions of values into typed fields. A value that a field cannot hold is a
// DatabaseError naming the field and the value; integers are never wrapped and text
// is never cut inside a character.

#include <cstdint>
#include <optional>
#include <string>

#include "data/field.h"
#include "service/variant.h"

namespace velmora {

// Into a 32-bit integer; nullopt for null. Integral reals and decimal text (with
// surrounding blanks) are accepted when in range.
std::optional<std::int32_t> ToInteger32(const FieldDef& field, const Variant& value);

// Into a 64-bit integer; nullopt for null.
std::optional<std::int64_t> ToInteger64(const FieldDef& field, const Variant& value);

// Into UTF-8 / UTF-16 text of at most field.Size characters; false for null. Longer
// text is shortened to Size characters, the last of which becomes "…", so the cut is
// visible. Ill-formed UTF-8 and unpaired UTF-16 surrogates become U+FFFD.
bool ToText(const FieldDef& field, const Variant& value, std::string& out);
bool ToWideText(const FieldDef& field, const Variant& value, std::u16string& out);

// A value as display text ("" for null).
std::string DisplayText(const Variant& value);

}  // namespace velmora
