// The text handling every failure message passes through: the UTF-8 / UTF-16
// conversions, TrimMessage, WithFullStop, OleErrorText, SystemErrorMessage, and the
// message OleCheck composes from the thread's error information.
//
// Input: the first bytes choose a result code; the rest is both a byte string (as
// UTF-8) and a sequence of UTF-16 code units (as a description).

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "fuzz/text_checks.h"
#include "service/com.h"
#include "service/hardware_service.h"
#include "service/result.h"
#include "service/utf.h"

namespace {

using namespace velmora;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "message_fuzzer: %s\n", what);
  std::abort();
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

using fuzz::IsValidUtf8;
using fuzz::IsWellFormedUtf16;
using fuzz::ReplaceLoneSurrogates;

bool Trimmed(const std::string& s) {
  if (s.empty()) return true;
  const auto last = static_cast<unsigned char>(s.back());
  return last > ' ' && last != '.';
}

void CheckConversions(const std::string& bytes, const std::u16string& units) {
  const std::string clean = SanitizeUtf8(bytes);
  Check(IsValidUtf8(clean), "SanitizeUtf8 gave ill-formed UTF-8");
  Check(SanitizeUtf8(clean) == clean, "SanitizeUtf8 is not idempotent");
  if (IsValidUtf8(bytes)) Check(clean == bytes, "SanitizeUtf8 changed well-formed UTF-8");

  const std::u16string wide = Utf8ToUtf16(bytes);
  Check(IsWellFormedUtf16(wide), "Utf8ToUtf16 gave ill-formed UTF-16");
  Check(Utf16ToUtf8(wide) == clean, "Utf16ToUtf8(Utf8ToUtf16(x)) != SanitizeUtf8(x)");
  Check(Utf8ToUtf16(clean) == wide, "Utf8ToUtf16 differs on the sanitized text");

  const std::string narrow = Utf16ToUtf8(units);
  Check(IsValidUtf8(narrow), "Utf16ToUtf8 gave ill-formed UTF-8");
  Check(Utf8ToUtf16(narrow) == ReplaceLoneSurrogates(units), "UTF-16 does not survive a round trip through UTF-8");

  // The appending forms keep what is already there.
  std::u16string appended = u"x";
  AppendUtf8AsUtf16(bytes, appended);
  Check(appended == u"x" + wide, "AppendUtf8AsUtf16 differs from Utf8ToUtf16");
  std::string appended8 = "x";
  AppendUtf16AsUtf8(units, appended8);
  Check(appended8 == "x" + narrow, "AppendUtf16AsUtf8 differs from Utf16ToUtf8");
}

void CheckTrimAndFullStop(const std::string& text) {
  const std::string trimmed = TrimMessage(text);
  Check(Trimmed(trimmed), "TrimMessage left a blank, control character or full stop at the end");
  Check(text.compare(0, trimmed.size(), trimmed) == 0, "TrimMessage changed more than the end");
  Check(Trimmed(text) ? trimmed == text : trimmed.size() < text.size(), "TrimMessage removed the wrong amount");
  Check(TrimMessage(trimmed) == trimmed, "TrimMessage is not idempotent");

  const std::string stopped = WithFullStop(text);
  const bool wants = !text.empty() && static_cast<unsigned char>(text.back()) > '.';
  Check(stopped == (wants ? text + "." : text), "WithFullStop added the wrong ending");
  Check(WithFullStop(stopped) == stopped, "WithFullStop added a second full stop");
}

void CheckCodeTexts(HRESULT hr) {
  const std::string ole = OleErrorText(hr);
  char expected[32];
  std::snprintf(expected, sizeof expected, "OLE error %08X", static_cast<unsigned>(hr));
  Check(ole == expected, "OleErrorText is not eight upper-case hexadecimal digits");

  const std::string system = SystemErrorMessage(hr);
  Check(system.empty() || (system.size() > 2 && system.ends_with("\r\n")), "a system text does not end as the system's do");
  Check(IsValidUtf8(system), "a system text is not UTF-8");
}

// What OleCheck must throw: the description, else the system's text, trimmed, else
// the code; as the failure reporter reads it (a C string).
void CheckOleCheck(HRESULT hr, const std::optional<std::u16string>& description) {
  ClearErrorInfo();
  if (description) SetErrorInfo(*description);
  if (Succeeded(hr)) {
    try {
      OleCheck(hr);
    } catch (...) {
      Fail("OleCheck threw for a success code");
    }
    Check(!TakeErrorInfo(), "OleCheck left the error information of a success");
    return;
  }
  try {
    OleCheck(hr);
    Fail("OleCheck did not throw for a failure code");
  } catch (const OleError& e) {
    Check(e.Code() == hr, "OleError carries another code");
    const std::string message = e.what();
    Check(!message.empty(), "OleCheck's message is empty");
    Check(Trimmed(message), "OleCheck's message is not trimmed");
    Check(IsValidUtf8(message), "OleCheck's message is not UTF-8");
    if (description) {
      // A description with something to show before any NUL (where the C string
      // the reporter shows ends) is the message.
      const std::string shown = TrimMessage(Utf16ToUtf8(description->substr(0, description->find(u'\0'))));
      if (!shown.empty()) Check(message == shown, "the description is not the message");
    }
    Check(!TakeErrorInfo(), "OleCheck left the error information behind");

    const std::optional<std::string> reported = FailureText(std::current_exception());
    // The box shows the message with its full stop, made plain and visible.
    Check(reported && *reported == MessageForDisplay(WithFullStop(message)), "the reporter shows another text");
    Check(IsValidUtf8(*reported), "the reporter's text is not UTF-8");
    for (const unsigned char c : *reported) {
      // Line breaks are the only controls a box may be handed: any other would
      // draw as nothing, or cut the text short.
      Check((c >= 0x20 || c == '\n') && c != 0x7F, "the reporter's text holds a control character");
    }
    Check(!reported->empty(), "the reporter shows an empty text");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  // Mostly the codes the program meets, sometimes any code at all.
  static constexpr HRESULT kKnown[] = {E_UNEXPECTED, E_NOTIMPL, E_NOINTERFACE, E_POINTER, E_ABORT, E_FAIL,
                                       E_ACCESSDENIED, E_OUTOFMEMORY, E_INVALIDARG, CLASS_E_NOAGGREGATION,
                                       CLASS_E_CLASSNOTAVAILABLE, REGDB_E_CLASSNOTREG, CO_E_NOTINITIALIZED,
                                       CO_E_ERRORINDLL, HRESULT_MOD_NOT_FOUND, HRESULT_PROC_NOT_FOUND,
                                       MakeResult(0x80040201), MakeResult(0x80040306), S_OK, S_FALSE};
  const HRESULT hr = data.ConsumeBool() ? data.PickValueInArray(kKnown) : data.ConsumeIntegral<HRESULT>();
  const bool withDescription = data.ConsumeBool();

  const std::vector<std::uint8_t> rest = data.ConsumeRemainingBytes<std::uint8_t>();
  const std::string text(rest.begin(), rest.end());
  std::u16string units(rest.size() / 2, u'\0');
  if (!units.empty()) std::memcpy(units.data(), rest.data(), units.size() * sizeof(char16_t));

  CheckConversions(text, units);
  CheckTrimAndFullStop(text);
  CheckTrimAndFullStop(SystemErrorMessage(hr));
  CheckCodeTexts(hr);
  CheckOleCheck(hr, withDescription ? std::optional<std::u16string>(units) : std::nullopt);
  CheckOleCheck(hr, withDescription ? std::optional<std::u16string>(Utf8ToUtf16(text)) : std::nullopt);
  return 0;
}
