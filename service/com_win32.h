#pragma once
// The Windows half of the component-object layer: the system's headers, the
// conversions between our types and the system's, owners for the system's
// references and strings, and the view that lets a system object travel where our
// interfaces do.
//
// Include this before any Windows header: the SDK defines our result names (S_OK,
// E_FAIL, ...) as macros of the same values, which must not reach our declarations.

#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include "service/com.h"
#include "service/result.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

namespace velmora::win32 {

// Both are the COM GUID, field for field, so either can stand for the other.
static_assert(sizeof(Guid) == sizeof(::GUID));
static_assert(offsetof(Guid, Data1) == offsetof(::GUID, Data1));
static_assert(offsetof(Guid, Data2) == offsetof(::GUID, Data2));
static_assert(offsetof(Guid, Data3) == offsetof(::GUID, Data3));
static_assert(offsetof(Guid, Data4) == offsetof(::GUID, Data4));

inline ::GUID ToNative(const Guid& guid) {
  ::GUID native;
  native.Data1 = guid.Data1;
  native.Data2 = guid.Data2;
  native.Data3 = guid.Data3;
  std::memcpy(native.Data4, guid.Data4.data(), sizeof native.Data4);
  return native;
}

inline Guid FromNative(const ::GUID& native) {
  Guid guid;
  guid.Data1 = native.Data1;
  guid.Data2 = native.Data2;
  guid.Data3 = native.Data3;
  std::memcpy(guid.Data4.data(), native.Data4, sizeof native.Data4);
  return guid;
}

// Holds one reference to a system object and releases it when it goes.
template <class T = ::IUnknown>
class NativePtr {
 public:
  NativePtr() = default;
  NativePtr(const NativePtr& other) : FPtr(other.FPtr) { if (FPtr) FPtr->AddRef(); }
  NativePtr(NativePtr&& other) noexcept : FPtr(std::exchange(other.FPtr, nullptr)) {}
  NativePtr& operator=(NativePtr other) noexcept { std::swap(FPtr, other.FPtr); return *this; }
  ~NativePtr() { Reset(); }

  // Takes over a reference the caller already holds.
  static NativePtr Attach(T* ptr) { NativePtr p; p.FPtr = ptr; return p; }

  void Reset() { if (T* p = std::exchange(FPtr, nullptr)) p->Release(); }
  T* Get() const { return FPtr; }
  T* operator->() const { return FPtr; }
  explicit operator bool() const { return FPtr != nullptr; }
  T** Put() { Reset(); return &FPtr; }
  void** PutVoid() { Reset(); return reinterpret_cast<void**>(&FPtr); }

  // Asks the object for another interface; empty when not offered.
  NativePtr<::IUnknown> Query(const Guid& iid) const {
    NativePtr<::IUnknown> result;
    const ::GUID native = ToNative(iid);
    if (FPtr == nullptr || FAILED(FPtr->QueryInterface(native, result.PutVoid()))) result.Reset();
    return result;
  }

 private:
  T* FPtr = nullptr;
};

// Calls the method at a position of an object's method table. For interfaces
// that are known to us by their layout only (the hardware service, ADO): Args must
// be exactly the method's parameter types, after the object itself.
template <class... Args>
HRESULT CallSlot(::IUnknown* object, std::size_t slot, Args... args) {
  using Method = ::HRESULT(STDMETHODCALLTYPE*)(::IUnknown*, Args...);
  void* const* table = *reinterpret_cast<void* const* const*>(object);
  return reinterpret_cast<Method>(table[slot])(object, args...);
}

// A system string that we allocated; freed when it goes.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::u16string_view text)
      : FText(::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()))) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  Bstr(Bstr&& other) noexcept : FText(std::exchange(other.FText, nullptr)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    if (this != &other) {
      Reset();
      FText = std::exchange(other.FText, nullptr);
    }
    return *this;
  }
  ~Bstr() { Reset(); }

  void Reset() { if (BSTR text = std::exchange(FText, nullptr)) ::SysFreeString(text); }
  BSTR Get() const { return FText; }
  BSTR* Put() { Reset(); return &FText; }
  std::u16string_view View() const { return View(FText); }

  // A system string's text; a null string is empty.
  static std::u16string_view View(BSTR text) {
    return text ? std::u16string_view(reinterpret_cast<const char16_t*>(text), ::SysStringLen(text))
                : std::u16string_view();
  }

 private:
  BSTR FText = nullptr;
};

// A VARIANT that is cleared when it goes.
class VariantValue {
 public:
  VariantValue() { ::VariantInit(&FValue); }
  VariantValue(const VariantValue&) = delete;
  VariantValue& operator=(const VariantValue&) = delete;
  ~VariantValue() { ::VariantClear(&FValue); }

  VARIANT& Get() { return FValue; }
  const VARIANT& Get() const { return FValue; }
  VARIANT* Put() { ::VariantClear(&FValue); return &FValue; }

 private:
  VARIANT FValue;
};

// Our view of a system object: it offers our IUnknown only, and carries the
// system object to the code that knows its layout (NativeOf).
ComPtr<IUnknown> WrapNative(::IUnknown* object);  // adds a reference; empty for nullptr
// The system object behind a view made by WrapNative, borrowed; nullptr for any other.
::IUnknown* NativeOf(IUnknown* object);

}  // namespace velmora::win32
