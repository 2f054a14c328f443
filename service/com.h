#pragma once
// The least of a component-object model that the program needs on systems without
// one: reference-counted interfaces, the thread's error information, the apartment,
// and object creation by class id through registered in-process modules.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "service/guid.h"
#include "service/result.h"

namespace velmora {

// The base of every interface. Objects are freed by their last Release.
struct IUnknown {
  static constexpr Guid IID = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  virtual HRESULT QueryInterface(const Guid& iid, void** object) = 0;
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

// The object a module hands out to create instances of one class.
struct IClassFactory : IUnknown {
  static constexpr Guid IID = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  virtual HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** object) = 0;

 protected:
  ~IClassFactory() = default;
};

// Holds one reference to an interface and releases it when it goes.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  ComPtr(const ComPtr& other) : FPtr(other.FPtr) { if (FPtr) FPtr->AddRef(); }
  ComPtr(ComPtr&& other) noexcept : FPtr(std::exchange(other.FPtr, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept { std::swap(FPtr, other.FPtr); return *this; }
  ~ComPtr() { Reset(); }

  // Takes over a reference the caller already holds.
  static ComPtr Attach(T* ptr) { ComPtr p; p.FPtr = ptr; return p; }

  void Reset() { if (T* p = std::exchange(FPtr, nullptr)) p->Release(); }
  T* Get() const { return FPtr; }
  T* operator->() const { return FPtr; }
  T& operator*() const { return *FPtr; }
  explicit operator bool() const { return FPtr != nullptr; }

  // For out-parameters: releases what is held and hands out the slot.
  T** Put() { Reset(); return &FPtr; }
  void** PutVoid() { Reset(); return reinterpret_cast<void**>(&FPtr); }

  // Asks for another interface of the same object; empty when not offered.
  template <class U>
  ComPtr<U> As() const {
    ComPtr<U> result;
    if (FPtr && Failed(FPtr->QueryInterface(U::IID, result.PutVoid()))) result.Reset();
    return result;
  }

 private:
  T* FPtr = nullptr;
};

// A reference count and QueryInterface for an object offering Interface (and
// IUnknown). Servers and test doubles derive their objects from it.
template <class Interface>
class ComObject : public Interface {
 public:
  HRESULT QueryInterface(const Guid& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IUnknown::IID || iid == Interface::IID) {
      *object = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  std::uint32_t AddRef() override { return ++FRefCount; }
  std::uint32_t Release() override {
    const std::uint32_t left = --FRefCount;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~ComObject() = default;

 private:
  std::atomic<std::uint32_t> FRefCount{1};
};

// Context flags for CreateInstance.
inline constexpr std::uint32_t CLSCTX_INPROC_SERVER = 0x1;
inline constexpr std::uint32_t CLSCTX_LOCAL_SERVER = 0x4;

// Makes the calling thread a single-threaded apartment: S_OK the first time,
// S_FALSE when it already is one. Each success is paired with CoUninitialize.
HRESULT CoInitialize();
void CoUninitialize();

// The thread's error information: a server sets it before returning a failure, the
// client takes it (reading clears it).
void SetErrorInfo(std::u16string_view description);
void ClearErrorInfo();
std::optional<std::u16string> TakeErrorInfo();

// Creates an object of a registered class and asks it for iid. Registrations are
// searched in $VELMORA_REGISTRY, then the per-user and system-wide XDG locations.
HRESULT CoCreateInstance(const Guid& clsid, IUnknown* outer, std::uint32_t context, const Guid& iid, void** object);

}  // namespace velmora
