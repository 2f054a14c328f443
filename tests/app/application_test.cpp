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

TEST(MessageForDisplay, PlainTextWithEveryCharacterVisible) {
  struct Case {
    const char* Label;
    std::string In;
    std::string Out;
  } cases[] = {
      {"plain", "database is locked", "database is locked"},
      {"markup stays text", "Site <b>7</b> &amp; more", "Site <b>7</b> &amp; more"},
      {"NUL", std::string("Site 7\0x", 8), "Site 7\u2400x"},
      {"escape and bell", "a\x1B[31mb\x07", "a\u241B[31mb\u2407"},
      {"tab", "a\tb", "a\u2409b"},
      {"DEL", "a\x7F", "a\u2421"},
      {"line feed stays a break", "first\nsecond", "first\nsecond"},
      {"CR LF becomes one break", "first\r\nsecond", "first\nsecond"},
      {"lone CR becomes a break", "first\rsecond", "first\nsecond"},
      {"ill-formed UTF-8", "caf\xE9!", "caf\uFFFD!"},
      {"well-formed UTF-8 kept", "T\xC3\xBCr \xE2\x80\xA6", "T\xC3\xBCr \xE2\x80\xA6"},
      {"empty", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(MessageForDisplay(c.In), c.Out) << c.Label;
}

TEST(FailureText, TheFullStopRuleSeesTheMessageAsRaisedThenItIsMadeVisible) {
  struct Case {
    const char* Label;
    std::string Message;
    std::string Shown;
  } cases[] = {
      {"ends in a letter", "Site x", "Site x."},
      {"ends in a control character", "Site \x01", "Site \u2401"},
      {"ends in a line feed", "two lines\n", "two lines\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FailureText(std::make_exception_ptr(std::runtime_error(c.Message))), c.Shown) << c.Label;
  }
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
