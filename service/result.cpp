#include "service/result.h"

#include <cstdio>

namespace velmora {

#if !defined(_WIN32)
// Windows asks the system itself: result_win32.cpp.
std::string SystemErrorMessage(HRESULT hr) {
  // The texts a client of ours can meet; each ends as the system's own formatter ends it.
  struct Entry {
    HRESULT Code;
    const char* Text;
  };
  static constexpr Entry kTexts[] = {
      {E_UNEXPECTED, "Catastrophic failure\r\n"},
      {E_NOTIMPL, "Not implemented\r\n"},
      {E_NOINTERFACE, "No such interface supported\r\n"},
      {E_POINTER, "Invalid pointer\r\n"},
      {E_ABORT, "Operation aborted\r\n"},
      {E_FAIL, "Unspecified error\r\n"},
      {E_ACCESSDENIED, "Access is denied.\r\n"},
      {E_OUTOFMEMORY, "Ran out of memory\r\n"},
      {E_INVALIDARG, "The parameter is incorrect.\r\n"},
      {CLASS_E_NOAGGREGATION, "Class does not support aggregation (or class object is remote)\r\n"},
      {CLASS_E_CLASSNOTAVAILABLE, "ClassFactory cannot supply requested class\r\n"},
      {REGDB_E_CLASSNOTREG, "Class not registered\r\n"},
      {CO_E_NOTINITIALIZED, "CoInitialize has not been called.\r\n"},
      {CO_E_ERRORINDLL, "Error in the DLL\r\n"},
      {HRESULT_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
      {HRESULT_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
  };
  for (const Entry& entry : kTexts) {
    if (entry.Code == hr) return entry.Text;
  }
  return {};
}
#endif

std::string TrimMessage(std::string text) {
  while (!text.empty()) {
    const unsigned char last = static_cast<unsigned char>(text.back());
    if (last > ' ' && last != '.') break;
    text.pop_back();
  }
  return text;
}

std::string OleErrorText(HRESULT hr) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "OLE error %.8X", static_cast<unsigned>(hr));
  return buffer;
}

}  // namespace velmora
