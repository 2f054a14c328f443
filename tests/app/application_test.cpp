#include "app/application.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(WithFullStop, AppendsAfterCharactersSortingAfterAFullStop) {
  struct Case {
    const char* In;
    const char* Out;
  } cases[] = {
      {"Class not registered, ClassID: {72D2BD55-66FA-11D4-A097-0050DAC21168}",
       "Class not registered, ClassID: {72D2BD55-66FA-11D4-A097-0050DAC21168}."},
      {"ends in a stop.", "ends in a stop."},
      {"ends in a parenthesis (x)", "ends in a parenthesis (x)"},
      {"ends in a comma,", "ends in a comma,"},
      {"ends in a slash/", "ends in a slash/."},
      {"ends in a digit 0", "ends in a digit 0."},
      {"database is locked", "database is locked."},
      {"non-ASCII \xC3\xBC", "non-ASCII \xC3\xBC."},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(WithFullStop(c.In), c.Out) << c.In;
}

class RecordingPlatform : public FailurePlatform {
 public:
  void CancelMouseCapture() override { Calls += "capture;"; }
  void ShowErrorBox(const std::string& caption, const std::string& text) override {
    Calls += "box[" + caption + "|" + text + "];";
  }
  std::string Calls;
};

TEST(ReportFailure, ReleasesCaptureThenShowsTheBoxCaptionedWithTheTitle) {
  RecordingPlatform platform;
  ReportFailure(std::make_exception_ptr(std::runtime_error("database is locked")), platform);
  EXPECT_EQ(platform.Calls, "capture;box[Velmora Controller Connection Utility|database is locked.];");
}

TEST(ReportFailure, DropsSilentAbortsAndShowsEmptyMessagesEmpty) {
  RecordingPlatform platform;
  ReportFailure(std::make_exception_ptr(Abort()), platform);
  EXPECT_EQ(platform.Calls, "capture;");
  ReportFailure(std::make_exception_ptr(std::runtime_error("")), platform);
  EXPECT_EQ(platform.Calls, "capture;capture;box[Velmora Controller Connection Utility|];");
}

}  // namespace
}  // namespace velmora
