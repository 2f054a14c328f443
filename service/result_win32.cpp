// The system's texts for result codes on Windows: FormatMessage's own.

#include "service/com_win32.h"
#include "service/utf.h"

namespace velmora {

std::string SystemErrorMessage(HRESULT hr) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
      static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer != nullptr) {
    text = Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), length));
  }
  if (buffer != nullptr) ::LocalFree(buffer);
  return text;
}

}  // namespace velmora
