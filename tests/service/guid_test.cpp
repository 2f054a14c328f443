#include "service/guid.h"

#include <gtest/gtest.h>

#include "service/hardware_service.h"

namespace velmora {
namespace {

TEST(Guid, PrintsBracedUpperCase) {
  EXPECT_EQ(CLSID_Hardware.ToString(), "{72D2BD55-66FA-11D4-A097-0050DAC21168}");
  EXPECT_EQ(IHardwareService::IID.ToString(), "{72D2BD54-66FA-11D4-A097-0050DAC21168}");
  EXPECT_EQ(IRecordset::IID.ToString(), "{00000555-0000-0010-8000-00AA006D2EA4}");
}

TEST(Guid, Parses) {
  struct Case {
    const char* Text;
    bool Valid;
  } cases[] = {
      {"{72D2BD55-66FA-11D4-A097-0050DAC21168}", true},
      {"72d2bd55-66fa-11d4-a097-0050dac21168", true},
      {"{72D2BD55-66FA-11D4-A097-0050DAC2116}", false},
      {"{72D2BD55-66FA-11D4-A097-0050DAC2116G}", false},
      {"{72D2BD55+66FA-11D4-A097-0050DAC21168}", false},
      {"72D2BD55-66FA-11D4-A097-0050DAC21168}", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    const auto g = Guid::Parse(c.Text);
    EXPECT_EQ(g.has_value(), c.Valid);
    if (c.Valid) {
      EXPECT_EQ(*g, CLSID_Hardware);
    }
  }
}

}  // namespace
}  // namespace velmora
