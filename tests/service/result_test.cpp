#include "service/result.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(TrimMessage, RemovesTrailingBlanksControlsAndStops) {
  struct Case {
    const char* In;
    const char* Out;
  } cases[] = {
      {"Class not registered\r\n", "Class not registered"},
      {"The parameter is incorrect.\r\n", "The parameter is incorrect"},
      {"no such table: Controllers. . .  ", "no such table: Controllers"},
      {"ends in brace}", "ends in brace}"},
      {"(inside). x", "(inside). x"},
      {"...", ""},
      {"", ""},
      {"\t\x01 lead kept", "\t\x01 lead kept"},
  };
  for (const Case& c : cases) EXPECT_EQ(TrimMessage(c.In), c.Out) << c.In;
}

TEST(SystemErrorMessage, KnownAndUnknownCodes) {
  struct Case {
    HRESULT Code;
    const char* Trimmed;
  } cases[] = {
      {REGDB_E_CLASSNOTREG, "Class not registered"},
      {E_NOINTERFACE, "No such interface supported"},
      {E_FAIL, "Unspecified error"},
      {E_NOTIMPL, "Not implemented"},
      {E_OUTOFMEMORY, "Ran out of memory"},
      {E_INVALIDARG, "The parameter is incorrect"},
      {E_UNEXPECTED, "Catastrophic failure"},
      {E_POINTER, "Invalid pointer"},
      {E_ACCESSDENIED, "Access is denied"},
      {MakeResult(0x8004D00A), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TrimMessage(SystemErrorMessage(c.Code)), c.Trimmed) << OleErrorText(c.Code);
}

TEST(OleErrorText, EightUpperCaseHexDigits) {
  EXPECT_EQ(OleErrorText(MakeResult(0x8004D00A)), "OLE error 8004D00A");
  EXPECT_EQ(OleErrorText(MakeResult(0x80000001)), "OLE error 80000001");
}

}  // namespace
}  // namespace velmora
