#pragma once

#include <cstdint>
#include <string>

namespace velmora {

// A 32-bit result code: negative means failure.
using HRESULT = std::int32_t;

constexpr HRESULT MakeResult(std::uint32_t bits) { return static_cast<HRESULT>(bits); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_UNEXPECTED = MakeResult(0x8000FFFF);
inline constexpr HRESULT E_NOTIMPL = MakeResult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = MakeResult(0x80004002);
inline constexpr HRESULT E_POINTER = MakeResult(0x80004003);
inline constexpr HRESULT E_ABORT = MakeResult(0x80004004);
inline constexpr HRESULT E_FAIL = MakeResult(0x80004005);
inline constexpr HRESULT E_ACCESSDENIED = MakeResult(0x80070005);
inline constexpr HRESULT E_OUTOFMEMORY = MakeResult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = MakeResult(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeResult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeResult(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeResult(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = MakeResult(0x800401F0);
inline constexpr HRESULT CO_E_ERRORINDLL = MakeResult(0x800401F9);
inline constexpr HRESULT HRESULT_MOD_NOT_FOUND = MakeResult(0x8007007E);
inline constexpr HRESULT HRESULT_PROC_NOT_FOUND = MakeResult(0x8007007F);

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// The system's text for a result code as the system formats it (sentence, trailing
// line break), or an empty string when the system has none.
std::string SystemErrorMessage(HRESULT hr);

// text without its trailing spaces, control characters and full stops.
std::string TrimMessage(std::string text);

// "OLE error 8004D00A": the code as eight upper-case hexadecimal digits.
std::string OleErrorText(HRESULT hr);

}  // namespace velmora
