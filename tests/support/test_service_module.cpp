#include <memory>

#include "service/hardware_service.h"
#include "service/module_abi.h"
#include "service/utf.h"
#include "tests/support/test_service.h"

namespace velmora::test {
namespace {

TestServiceControl gControl;
const VelmoraHostApi* gHost = nullptr;

HRESULT Fail(const Failure& failure) {
  if (failure.Description) gHost->SetErrorInfo(failure.Description->data(), failure.Description->size());
  return failure.Code;
}

class Recordset : public ComObject<IRecordset> {
 public:
  Recordset() { ++gControl.RecordsetsAlive; }
  ~Recordset() override { --gControl.RecordsetsAlive; }

  HRESULT GetState(std::int32_t* state) override {
    *state = (gControl.RecordsetClosed || FClosed) ? kStateClosed : kStateOpen;
    return S_OK;
  }
  HRESULT GetFieldCount(std::int32_t* count) override {
    *count = static_cast<std::int32_t>(gControl.Columns.size());
    return S_OK;
  }
  HRESULT GetFieldName(std::int32_t index, std::u16string* name) override {
    if (index < 0 || index >= static_cast<std::int32_t>(gControl.Columns.size())) return E_INVALIDARG;
    *name = Utf8ToUtf16(gControl.Columns[static_cast<std::size_t>(index)]);
    return S_OK;
  }
  HRESULT GetFieldKind(std::int32_t, FieldKind* kind) override {
    *kind = FieldKind::Other;
    return S_OK;
  }
  HRESULT MoveFirst() override {
    FRow = 0;
    return S_OK;
  }
  HRESULT MoveNext() override {
    if (gControl.FailMoveNextAtRow >= 0 && FRow >= static_cast<std::size_t>(gControl.FailMoveNextAtRow)) return Fail(gControl.MoveNextFailure);
    ++FRow;
    return S_OK;
  }
  HRESULT GetEOF(bool* eof) override {
    *eof = FRow >= gControl.Rows.size();
    return S_OK;
  }
  HRESULT GetValue(std::int32_t index, Variant* value) override {
    if (FRow >= gControl.Rows.size()) return E_FAIL;
    const std::vector<TestValue>& row = gControl.Rows[FRow];
    if (index < 0 || static_cast<std::size_t>(index) >= row.size()) {
      *value = Variant::Null();
      return S_OK;
    }
    const TestValue& v = row[static_cast<std::size_t>(index)];
    if (const auto* i = std::get_if<std::int64_t>(&v)) {
      *value = Variant::FromInteger(*i);
    } else if (const auto* d = std::get_if<double>(&v)) {
      *value = Variant::FromReal(*d);
    } else if (const auto* s = std::get_if<std::string>(&v)) {
      *value = Variant::FromText(*s);
    } else if (const auto* w = std::get_if<std::u16string>(&v)) {
      *value = Variant::FromWideText(*w);
    } else {
      *value = Variant::Null();
    }
    return S_OK;
  }
  HRESULT Close() override {
    FClosed = true;
    return S_OK;
  }

 private:
  std::size_t FRow = 0;
  bool FClosed = false;
};

// Offers only IUnknown: stands for an object that is no record set or no service.
class Plain : public ComObject<IUnknown> {};

class Service : public ComObject<IHardwareService> {
 public:
  Service() {
    ++gControl.ObjectsCreated;
    ++gControl.ObjectsAlive;
  }
  ~Service() override { --gControl.ObjectsAlive; }

  HRESULT OpenQuery(std::u16string_view text, IUnknown** result) override {
    gControl.Received.emplace_back(text);
    *result = nullptr;
    if (gControl.OpenQueryFailure) return Fail(*gControl.OpenQueryFailure);
    if (gControl.OpenQueryReturnsNothing) return S_OK;
    if (gControl.OpenQueryReturnsNonRecordset) {
      *result = new Plain();
      return S_OK;
    }
    *result = static_cast<IRecordset*>(new Recordset());
    return S_OK;
  }

  HRESULT ExecuteCommand(std::u16string_view text) override {
    gControl.Received.emplace_back(text);
    if (gControl.ExecuteResults.empty()) return S_OK;
    const std::optional<Failure> failure = gControl.ExecuteResults.front();
    gControl.ExecuteResults.pop_front();
    return failure ? Fail(*failure) : S_OK;
  }
};

class Factory : public ComObject<IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** object) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (gControl.WithoutInterface) {
      ComPtr<IUnknown> plain = ComPtr<IUnknown>::Attach(new Plain());
      return plain->QueryInterface(iid, object);
    }
    ComPtr<IHardwareService> service = ComPtr<IHardwareService>::Attach(new Service());
    return service->QueryInterface(iid, object);
  }
};

}  // namespace
}  // namespace velmora::test

extern "C" __attribute__((visibility("default"))) velmora::test::TestServiceControl* VelmoraTestServiceControl() {
  return &velmora::test::gControl;
}

VELMORA_MODULE_ENTRY {
  using namespace velmora;
  velmora::test::gHost = host;
  *object = nullptr;
  if (velmora::test::gControl.NoClass || *clsid != CLSID_Hardware) return CLASS_E_CLASSNOTAVAILABLE;
  if (Failed(velmora::test::gControl.EntryFailure)) return velmora::test::gControl.EntryFailure;
  ComPtr<IClassFactory> factory = ComPtr<IClassFactory>::Attach(new velmora::test::Factory());
  return factory->QueryInterface(*iid, object);
}
