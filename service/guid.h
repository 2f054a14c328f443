#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// A class or interface identifier.
struct Guid {
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0;
  std::uint16_t Data3 = 0;
  std::array<std::uint8_t, 8> Data4{};

  // Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", braces optional, any letter case.
  static std::optional<Guid> Parse(std::string_view text);

  // The braced, upper-case form: "{72D2BD55-66FA-11D4-A097-0050DAC21168}".
  std::string ToString() const;

  bool operator==(const Guid&) const = default;
};

}  // namespace velmora
