#include <gtest/gtest.h>

#include <string>

#include "service/com.h"
#include "service/hardware_service.h"

namespace velmora {
namespace {

// The message OleCheck throws for code after a server left description.
std::string MessageOf(HRESULT code, const std::u16string& description) {
  SetErrorInfo(description);
  try {
    OleCheck(code);
  } catch (const OleError& e) {
    return e.what();
  }
  return "(no failure)";
}

TEST(OleCheck, ShowsTheDescriptionUpToANul) {
  // Messages are read as C strings; what follows a NUL never shows.
  struct Case {
    const char* Label;
    std::u16string Description;
    const char* Message;
  } cases[] = {
      {"plain", u"no such table: Controllers", "no such table: Controllers"},
      {"trimmed", u"database is locked.\r\n", "database is locked"},
      {"nul first: the system's text", std::u16string(u"\0x", 2), "Unspecified error"},
      {"trimmed before the nul", std::u16string(u"refused. \0more", 14), "refused"},
      {"nothing but blanks before the nul", std::u16string(u" \0x", 3), "Unspecified error"},
  };
  for (const Case& c : cases) EXPECT_EQ(MessageOf(E_FAIL, c.Description), c.Message) << c.Label;
  EXPECT_EQ(MessageOf(MakeResult(0x8004D00A), std::u16string(1, u'\0')), "OLE error 8004D00A");
}

}  // namespace
}  // namespace velmora
