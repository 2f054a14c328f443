#include "ui/win32/guard.h"

#include "app/application.h"
#include "service/com_win32.h"
#include "ui/win32/text.h"

namespace velmora::winui {
namespace {

class Win32FailurePlatform : public FailurePlatform {
 public:
  void CancelMouseCapture() override { ::ReleaseCapture(); }
  // The box belongs to the active window, so that window waits for it; before the
  // main window is shown there is none, and the box stands alone.
  void ShowErrorBox(const std::string& caption, const std::string& text) override {
    ::MessageBoxW(::GetActiveWindow(), Wide(text).c_str(), Wide(caption).c_str(), MB_ICONSTOP | MB_OK);
  }
};

}  // namespace

FailurePlatform& Platform() {
  static Win32FailurePlatform platform;
  return platform;
}

}  // namespace velmora::winui
