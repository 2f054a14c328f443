// The load path of the controller list: a record set made up by the input, read
// through RecordsetDataset into TfrmMain's own kbmControllers by LoadFromDataSet,
// then one row edited, posted and reverted as a refused write-back does.
//
// The record set has 0 to 8 fields, named like the table's fields in any letter
// case or not at all, of any declared kind, and rows of values of every kind
// (integers of any size, any double, text with any bytes, UTF-16 with lone
// surrogates); it may be closed, or fail at a chosen call with a chosen code.
// A model computes what the table must then hold, row by row, and whether and how
// the load must fail; the table is compared with it after the load, the edit, the
// post and the revert.

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "controllers/main_window.h"
#include "data/database_error.h"
#include "fuzz/text_checks.h"
#include "service/com.h"
#include "service/hardware_service.h"
#include "service/recordset.h"
#include "service/utf.h"

namespace {

using namespace velmora;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "recordset_load_fuzzer: %s\n", what.c_str());
  std::abort();
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// A value with its text owned, to keep and compare.
struct Value {
  Variant::Kind Kind = Variant::Kind::Null;
  std::int64_t Integer = 0;
  double Real = 0;
  std::string Text;
  std::u16string WideText;

  static Value Of(const Variant& v) {
    Value x;
    x.Kind = v.Type;
    if (v.Type == Variant::Kind::Integer) x.Integer = v.Integer;
    if (v.Type == Variant::Kind::Real) x.Real = v.Real;
    if (v.Type == Variant::Kind::Text) x.Text = v.Text;
    if (v.Type == Variant::Kind::WideText) x.WideText = v.WideText;
    return x;
  }
  Variant View() const {
    switch (Kind) {
      case Variant::Kind::Integer:
        return Variant::FromInteger(Integer);
      case Variant::Kind::Real:
        return Variant::FromReal(Real);
      case Variant::Kind::Text:
        return Variant::FromText(Text);
      case Variant::Kind::WideText:
        return Variant::FromWideText(WideText);
      case Variant::Kind::Null:
        break;
    }
    return Variant::Null();
  }
  bool operator==(const Value& o) const {
    return Kind == o.Kind && Integer == o.Integer && std::bit_cast<std::uint64_t>(Real) == std::bit_cast<std::uint64_t>(o.Real) &&
           Text == o.Text && WideText == o.WideText;
  }
};

// ---- The model: what a field of the table must hold for a value. ----

// The value, or nothing when the field must refuse it.
using Expected = std::optional<Value>;

template <class C>
Expected ParsedInteger(std::basic_string_view<C> s) {
  const auto blank = [](C c) { return c == C(' ') || c == C('\t'); };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  if (!s.empty() && s.front() == C('+')) s.remove_prefix(1);
  const bool negative = !s.empty() && s.front() == C('-');
  if (negative) s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::int64_t magnitude = 0;
  for (const C c : s) {
    if (c < C('0') || c > C('9')) return std::nullopt;
    magnitude = magnitude * 10 + (c - C('0'));
    if (magnitude > (std::int64_t{1} << 31)) return std::nullopt;
  }
  const std::int64_t v = negative ? -magnitude : magnitude;
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return Value::Of(Variant::FromInteger(v));
}

Expected IntegerFieldHolds(const Variant& v) {
  constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
  switch (v.Type) {
    case Variant::Kind::Null:
      return Value{};
    case Variant::Kind::Integer:
      if (v.Integer < lo || v.Integer > hi) return std::nullopt;
      return Value::Of(v);
    case Variant::Kind::Real:
      if (!std::isfinite(v.Real) || std::trunc(v.Real) != v.Real || v.Real < double(lo) || v.Real > double(hi)) {
        return std::nullopt;
      }
      return Value::Of(Variant::FromInteger(static_cast<std::int64_t>(v.Real)));
    case Variant::Kind::Text:
      return ParsedInteger(v.Text);
    case Variant::Kind::WideText:
      return ParsedInteger(v.WideText);
  }
  return std::nullopt;
}

std::string DisplayOf(const Variant& v) {
  if (v.Type == Variant::Kind::Integer) return std::to_string(v.Integer);
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v.Real);
  return ec == std::errc() ? std::string(buffer, end) : std::string();
}

using fuzz::IsLowSurrogate;
using fuzz::IsValidUtf8;
using fuzz::IsWellFormedUtf16;
using fuzz::ReplaceLoneSurrogates;

std::size_t CodePoints(const std::string& s) {
  std::size_t n = 0;
  for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

Expected StringFieldHolds(const Variant& v, int size) {
  std::string full;
  switch (v.Type) {
    case Variant::Kind::Null:
      return Value{};
    case Variant::Kind::Text:
      full = SanitizeUtf8(v.Text);
      break;
    case Variant::Kind::WideText:
      full = Utf16ToUtf8(v.WideText);
      break;
    default:
      full = DisplayOf(v);
      break;
  }
  if (CodePoints(full) > static_cast<std::size_t>(size)) {
    std::size_t keep = 0;
    for (std::size_t chars = 0; keep < full.size(); ++keep) {
      if ((static_cast<unsigned char>(full[keep]) & 0xC0) != 0x80 && chars++ == static_cast<std::size_t>(size - 1)) break;
    }
    full = full.substr(0, keep) + "\xE2\x80\xA6";
  }
  return Value::Of(Variant::FromText(full));
}

Expected WideStringFieldHolds(const Variant& v, int size) {
  std::u16string full;
  switch (v.Type) {
    case Variant::Kind::Null:
      return Value{};
    case Variant::Kind::Text:
      full = Utf8ToUtf16(v.Text);
      break;
    case Variant::Kind::WideText:
      full = ReplaceLoneSurrogates(v.WideText);
      break;
    default:
      full = Utf8ToUtf16(DisplayOf(v));
      break;
  }
  if (full.size() > static_cast<std::size_t>(size)) {
    std::size_t cut = static_cast<std::size_t>(size - 1);
    if (IsLowSurrogate(full[cut])) --cut;
    full = full.substr(0, cut) + u'\u2026';
  }
  return Value::Of(Variant::FromWideText(full));
}

Expected FieldHolds(const FieldDef& def, const Variant& v) {
  switch (def.Type) {
    case FieldType::Integer:
      return IntegerFieldHolds(v);
    case FieldType::String:
      return StringFieldHolds(v, def.Size);
    case FieldType::WideString:
      return WideStringFieldHolds(v, def.Size);
    default:
      Fail("the table has a field type the model does not know");
  }
}

// ---- The record set the input describes. ----

struct Source {
  enum class State { Open, Closed, Fails } StateAnswer = State::Open;
  std::vector<std::u16string> Names;
  std::vector<IRecordset::FieldKind> Kinds;
  int FailFieldNameAt = -1;
  bool FailMoveFirst = false;
  long FailMoveNextAt = -1;  // the row whose MoveNext fails
  long FailValueRow = -1;
  int FailValueField = -1;
  HRESULT FailCode = E_FAIL;
  std::optional<std::u16string> FailDescription;
  std::vector<std::vector<Value>> Prototypes;  // row r is Prototypes[r % size]
  long Rows = 0;

  const Value& At(long row, int field) const {
    return Prototypes[static_cast<std::size_t>(row) % Prototypes.size()][static_cast<std::size_t>(field)];
  }
};

int gRecordsetsAlive = 0;

// Hands out text in buffers of its own that it frees at the next move or the next
// read of the same field, as the contract allows; a reader that keeps a view too
// long reads freed memory, which AddressSanitizer reports.
class FakeRecordset : public ComObject<IRecordset> {
 public:
  explicit FakeRecordset(const Source& source)
      : FSource(source), FText(source.Names.size()), FWide(source.Names.size()) {
    ++gRecordsetsAlive;
  }

  HRESULT GetState(std::int32_t* state) override {
    if (FSource.StateAnswer == Source::State::Fails) return Failure();
    *state = (FClosed || FSource.StateAnswer == Source::State::Closed) ? kStateClosed : kStateOpen;
    return S_OK;
  }
  HRESULT GetFieldCount(std::int32_t* count) override {
    Usable();
    *count = static_cast<std::int32_t>(FSource.Names.size());
    return S_OK;
  }
  HRESULT GetFieldName(std::int32_t index, std::u16string* name) override {
    Usable();
    CheckIndex(index);
    if (index == FSource.FailFieldNameAt) return Failure();
    *name = FSource.Names[static_cast<std::size_t>(index)];
    return S_OK;
  }
  HRESULT GetFieldKind(std::int32_t index, FieldKind* kind) override {
    Usable();
    CheckIndex(index);
    *kind = FSource.Kinds[static_cast<std::size_t>(index)];
    return S_OK;
  }
  HRESULT MoveFirst() override {
    Usable();
    if (FSource.FailMoveFirst) return Failure();
    Moved();
    FRow = 0;
    return S_OK;
  }
  HRESULT MoveNext() override {
    Usable();
    Check(FRow < FSource.Rows, "MoveNext past the end of the record set");
    if (FRow == FSource.FailMoveNextAt) return Failure();
    Moved();
    ++FRow;
    return S_OK;
  }
  HRESULT GetEOF(bool* eof) override {
    Usable();
    *eof = FRow >= FSource.Rows;
    return S_OK;
  }
  HRESULT GetValue(std::int32_t index, Variant* value) override {
    Usable();
    CheckIndex(index);
    Check(FRow < FSource.Rows, "a value was read past the end of the record set");
    if (FRow == FSource.FailValueRow && index == FSource.FailValueField) return Failure();
    const Value& v = FSource.At(FRow, index);
    const auto i = static_cast<std::size_t>(index);
    if (v.Kind == Variant::Kind::Text) {
      FText[i] = std::make_unique<char[]>(v.Text.size() + 1);
      std::copy(v.Text.begin(), v.Text.end(), FText[i].get());
      *value = Variant::FromText(std::string_view(FText[i].get(), v.Text.size()));
    } else if (v.Kind == Variant::Kind::WideText) {
      FWide[i] = std::make_unique<char16_t[]>(v.WideText.size() + 1);
      std::copy(v.WideText.begin(), v.WideText.end(), FWide[i].get());
      *value = Variant::FromWideText(std::u16string_view(FWide[i].get(), v.WideText.size()));
    } else {
      *value = v.View();
    }
    return S_OK;
  }
  HRESULT Close() override {
    FClosed = true;
    Moved();
    return S_OK;
  }

 private:
  ~FakeRecordset() override { --gRecordsetsAlive; }

  void Usable() const { Check(!FClosed, "the record set was used after Close"); }
  void CheckIndex(std::int32_t index) const {
    Check(index >= 0 && static_cast<std::size_t>(index) < FSource.Names.size(), "a field index out of range");
  }
  void Moved() {
    for (auto& t : FText) t.reset();
    for (auto& w : FWide) w.reset();
  }
  HRESULT Failure() const {
    if (FSource.FailDescription) SetErrorInfo(*FSource.FailDescription);
    return FSource.FailCode;
  }

  const Source& FSource;
  long FRow = 0;
  bool FClosed = false;
  std::vector<std::unique_ptr<char[]>> FText;
  std::vector<std::unique_ptr<char16_t[]>> FWide;
};

// ---- Reading the input. ----

Value MakeValue(FuzzedDataProvider& data) {
  static constexpr std::int64_t kIntegers[] = {0, 1, -1, 2147483647, -2147483647 - 1, 2147483648, -2147483649,
                                               std::numeric_limits<std::int64_t>::max(),
                                               std::numeric_limits<std::int64_t>::min()};
  static constexpr double kReals[] = {0.0, -0.0, 0.5, -1.0, 2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0,
                                      1e300, 9.3e18, 4.9e-324, std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
  Value v;
  switch (data.ConsumeIntegralInRange(0, 4)) {
    case 0:
      break;
    case 1:
      v.Kind = Variant::Kind::Integer;
      v.Integer = data.ConsumeBool() ? data.PickValueInArray(kIntegers) : data.ConsumeIntegral<std::int64_t>();
      break;
    case 2:
      v.Kind = Variant::Kind::Real;
      v.Real = data.ConsumeBool() ? data.PickValueInArray(kReals) : std::bit_cast<double>(data.ConsumeIntegral<std::uint64_t>());
      break;
    case 3:
      v.Kind = Variant::Kind::Text;
      v.Text = data.ConsumeRandomLengthString(300);
      break;
    default: {
      v.Kind = Variant::Kind::WideText;
      const std::size_t n = data.ConsumeIntegralInRange<std::size_t>(0, 300);
      for (std::size_t i = 0; i < n && data.remaining_bytes() > 0; ++i) {
        v.WideText += static_cast<char16_t>(data.ConsumeIntegral<std::uint16_t>());
      }
      break;
    }
  }
  return v;
}

std::u16string MakeName(FuzzedDataProvider& data) {
  static constexpr const char* kNames[] = {"Site", "Controller", "Controller Type", "Description", "Disabled"};
  const int choice = data.ConsumeIntegralInRange(0, 6);
  if (choice == 5) {
    std::u16string junk;
    const std::size_t n = data.ConsumeIntegralInRange<std::size_t>(0, 16);
    for (std::size_t i = 0; i < n; ++i) junk += static_cast<char16_t>(data.ConsumeIntegral<std::uint16_t>());
    return junk;
  }
  std::string name = kNames[choice == 6 ? data.ConsumeIntegralInRange(0, 4) : choice];
  // Any letter case; bit k of the mask flips the case of letter k (mod 16).
  const auto mask = data.ConsumeIntegral<std::uint16_t>();
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (((mask >> (i % 16)) & 1) && ((name[i] | 0x20) >= 'a' && (name[i] | 0x20) <= 'z')) name[i] ^= 0x20;
  }
  if (choice == 6) {  // a near miss: one character more, or changed
    const char c = data.ConsumeIntegral<char>();
    if (data.ConsumeBool()) {
      name += c;
    } else {
      name[data.ConsumeIntegralInRange<std::size_t>(0, name.size() - 1)] = c;
    }
  }
  return Utf8ToUtf16(name);
}

Source MakeSource(FuzzedDataProvider& data) {
  Source s;
  const int fields = data.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < fields; ++i) {
    s.Names.push_back(MakeName(data));
    const int kind = data.ConsumeIntegralInRange(0, 4);
    s.Kinds.push_back(kind < 4 ? static_cast<IRecordset::FieldKind>(kind)
                               : static_cast<IRecordset::FieldKind>(data.ConsumeIntegral<std::int32_t>()));
  }
  switch (data.ConsumeIntegralInRange(0, 11)) {
    case 8:
      s.StateAnswer = Source::State::Closed;
      break;
    case 9:
      s.StateAnswer = Source::State::Fails;
      break;
    case 10:
      s.FailFieldNameAt = fields > 0 ? data.ConsumeIntegralInRange(0, fields - 1) : -1;
      break;
    case 11:
      s.FailMoveFirst = true;
      break;
    default:
      break;
  }
  // Now and then more rows than a load reports progress for.
  s.Rows = data.ConsumeIntegralInRange(0, 15) == 15 ? data.ConsumeIntegralInRange(1000, 1100)
                                                    : data.ConsumeIntegralInRange(0, 40);
  if (data.ConsumeBool()) s.FailMoveNextAt = data.ConsumeIntegralInRange<long>(0, s.Rows);
  if (fields > 0 && data.ConsumeBool()) {
    s.FailValueRow = data.ConsumeIntegralInRange<long>(0, s.Rows);
    s.FailValueField = data.ConsumeIntegralInRange(0, fields - 1);
  }
  s.FailCode = static_cast<HRESULT>(data.ConsumeIntegral<std::uint32_t>() | 0x80000000u);
  if (data.ConsumeBool()) s.FailDescription = Utf8ToUtf16(data.ConsumeRandomLengthString(40));
  const std::size_t prototypes = data.ConsumeIntegralInRange<std::size_t>(1, 16);
  s.Prototypes.resize(prototypes);
  for (auto& row : s.Prototypes) {
    for (int i = 0; i < fields; ++i) row.push_back(MakeValue(data));
  }
  return s;
}

// ---- What the load must do. ----

struct Outcome {
  enum class Error { None, Database, Ole } Throws = Error::None;
  std::vector<std::vector<Value>> Rows;
};

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    if (up(a[i]) != up(b[i])) return false;
  }
  return true;
}

Outcome ModelLoad(const Source& s, const MemTable& table) {
  Outcome out;
  if (s.StateAnswer != Source::State::Open || s.FailFieldNameAt >= 0 || s.FailMoveFirst) {
    // The record set never opens; loading from the closed dataset is refused.
    out.Throws = Outcome::Error::Database;
    return out;
  }
  std::vector<int> match(table.FieldCount(), -1);
  for (std::size_t j = 0; j < table.FieldCount(); ++j) {
    for (std::size_t i = 0; i < s.Names.size(); ++i) {
      if (SameName(Utf16ToUtf8(s.Names[i]), table.Fields(j).FieldName())) {
        match[j] = static_cast<int>(i);
        break;
      }
    }
  }
  for (long r = 0; r < s.Rows; ++r) {
    std::vector<Value> row;
    for (std::size_t j = 0; j < table.FieldCount(); ++j) {
      if (match[j] < 0) {
        row.emplace_back();
        continue;
      }
      if (r == s.FailValueRow && match[j] == s.FailValueField) {
        out.Throws = Outcome::Error::Ole;
        return out;
      }
      const Expected held = FieldHolds(table.Fields(j).Def(), s.At(r, match[j]).View());
      if (!held) {
        out.Throws = Outcome::Error::Database;
        return out;
      }
      row.push_back(*held);
    }
    out.Rows.push_back(std::move(row));
    if (r == s.FailMoveNextAt) {
      out.Throws = Outcome::Error::Ole;
      return out;
    }
  }
  return out;
}

// ---- Checks on the table. ----

std::vector<std::vector<Value>> Contents(const MemTable& table) {
  std::vector<std::vector<Value>> rows;
  for (int r = 0; r < table.RecordCount(); ++r) {
    std::vector<Value> row;
    for (std::size_t j = 0; j < table.FieldCount(); ++j) {
      const Field& field = table.Fields(j);
      const Value v = Value::Of(table.CellValue(r, field));
      switch (field.DataType()) {
        case FieldType::Integer:
          Check(v.Kind == Variant::Kind::Null || v.Kind == Variant::Kind::Integer, "an integer field holds another kind");
          break;
        case FieldType::String:
          Check(v.Kind == Variant::Kind::Null || v.Kind == Variant::Kind::Text, "a string field holds another kind");
          Check(IsValidUtf8(v.Text), "a string field holds ill-formed UTF-8");
          Check(CodePoints(v.Text) <= static_cast<std::size_t>(field.Size()), "a string field holds more than its size");
          break;
        case FieldType::WideString:
          Check(v.Kind == Variant::Kind::Null || v.Kind == Variant::Kind::WideText, "a wide field holds another kind");
          Check(IsWellFormedUtf16(v.WideText), "a wide string field holds ill-formed UTF-16");
          Check(v.WideText.size() <= static_cast<std::size_t>(field.Size()), "a wide field holds more than its size");
          break;
        default:
          break;
      }
      row.push_back(v);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

void CheckContents(const MemTable& table, const std::vector<std::vector<Value>>& expected, const char* when) {
  const auto rows = Contents(table);
  if (rows.size() != expected.size()) {
    Fail(std::string(when) + ": the table holds " + std::to_string(rows.size()) + " rows, not " +
         std::to_string(expected.size()));
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t j = 0; j < rows[r].size(); ++j) {
      if (!(rows[r][j] == expected[r][j])) {
        Fail(std::string(when) + ": row " + std::to_string(r) + ", field '" + table.Fields(j).FieldName() +
             "' differs from the model");
      }
    }
  }
}

class NoHost : public TfrmMain::Host {
 public:
  void Close() override {}
};

// Loads the described record set into the form's table; checks the outcome's kind.
void Load(TfrmMain& form, const Source& source, const Outcome& expected, std::vector<int>& progress) {
  Outcome::Error thrown = Outcome::Error::None;
  std::string message;
  HRESULT code = S_OK;
  try {
    form.ADODataSet1.SetRecordset(ComPtr<IRecordset>::Attach(new FakeRecordset(source)));
  } catch (const DatabaseError&) {
  } catch (const OleError&) {
  }
  try {
    form.kbmControllers.LoadFromDataSet(form.ADODataSet1);
  } catch (const DatabaseError& e) {
    thrown = Outcome::Error::Database;
    message = e.what();
  } catch (const OleError& e) {
    thrown = Outcome::Error::Ole;
    message = e.what();
    code = e.Code();
  }
  if (thrown != expected.Throws) {
    Fail("the load " + std::string(thrown == Outcome::Error::None ? "succeeded" : "failed: " + message) +
         ", the model says otherwise");
  }
  if (thrown != Outcome::Error::None) Check(!message.empty(), "a load failure has no message");
  if (thrown == Outcome::Error::Ole) Check(code == source.FailCode, "the load failed with another code");
  Check(form.kbmControllers.State() == DatasetState::Browse, "the table is not in browse state after a load");
  if (thrown == Outcome::Error::None) {
    Check(form.kbmControllers.RecNo() == (expected.Rows.empty() ? -1 : 0), "a load does not end on the first row");
  }
  for (std::size_t k = 0; k < progress.size(); ++k) {
    Check(progress[k] == static_cast<int>((k + 1) * MemTable::kLoadProgressRows), "progress reported out of step");
  }
  // A load that fails moving on from a row that ends a step may not report it.
  const std::size_t steps = expected.Rows.size() / MemTable::kLoadProgressRows;
  Check(progress.size() == steps || (thrown != Outcome::Error::None && progress.size() + 1 == steps &&
                                     expected.Rows.size() % MemTable::kLoadProgressRows == 0),
        "progress reported too often or too rarely");
  progress.clear();
  form.ADODataSet1.Close();
}

// One change the input makes to a field of the row being edited.
void Change(MemTable& table, std::size_t j, FuzzedDataProvider& data, std::vector<Value>& buffer) {
  Field& field = table.Fields(j);
  Variant value;
  Value source;
  switch (data.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return;
    case 1:
      source = MakeValue(data);
      value = source.View();
      break;
    case 2:  // the field's own value, as a view into the row being edited
      value = field.Value();
      source = Value::Of(value);
      break;
    default: {  // another field's value
      const Field& other = table.Fields(data.ConsumeIntegralInRange<std::size_t>(0, table.FieldCount() - 1));
      value = other.Value();
      source = Value::Of(value);
      break;
    }
  }
  const Expected held = FieldHolds(field.Def(), source.View());
  bool refused = false;
  try {
    field.SetValue(value);
  } catch (const DatabaseError& e) {
    refused = true;
    Check(*e.what() != '\0', "a refused edit has no message");
  }
  if (refused != (field.ReadOnly() || !held)) {
    Fail("field '" + field.FieldName() + "' " + (refused ? "refused" : "took") + " a value the model says otherwise");
  }
  if (!refused) buffer[j] = *held;
  if (!(Value::Of(field.Value()) == buffer[j])) Fail("field '" + field.FieldName() + "' reads back another value while edited");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const Source source = MakeSource(data);
  const bool loadTwice = data.ConsumeBool();
  {
    NoHost host;
    TfrmMain form(host);
    MemTable& table = form.kbmControllers;
    int posts = 0;
    table.AfterPost = [&posts](Dataset&) { ++posts; };
    std::vector<int> progress;
    table.OnLoadProgress = [&progress](int rows) { progress.push_back(rows); };

    const Outcome expected = ModelLoad(source, table);
    Load(form, source, expected, progress);
    CheckContents(table, expected.Rows, "after the load");
    Check(posts == static_cast<int>(expected.Rows.size()), "AfterPost did not fire once per row loaded");
    if (loadTwice) {
      // A second load replaces the rows, and reads the same.
      Load(form, source, expected, progress);
      CheckContents(table, expected.Rows, "after the second load");
    }
    posts = 0;

    if (!expected.Rows.empty()) {
      // An edit of one row, posted, then put back as a refused write-back does.
      const int row = data.ConsumeIntegralInRange<int>(0, static_cast<int>(expected.Rows.size()) - 1);
      table.SetRecNo(row);
      table.Edit();
      std::vector<Value> buffer = expected.Rows[static_cast<std::size_t>(row)];
      const int changes = data.ConsumeIntegralInRange(1, 8);
      for (int k = 0; k < changes; ++k) {
        Change(table, data.ConsumeIntegralInRange<std::size_t>(0, table.FieldCount() - 1), data, buffer);
      }
      if (data.ConsumeIntegralInRange(0, 7) == 0) {
        table.Cancel();
        CheckContents(table, expected.Rows, "after a cancelled edit");
        table.RevertLastPost();
        CheckContents(table, expected.Rows, "after a revert with nothing posted");
      } else {
        table.Post();
        Check(posts == 1, "AfterPost did not fire once for the edit");
        auto edited = expected.Rows;
        edited[static_cast<std::size_t>(row)] = buffer;
        CheckContents(table, edited, "after the edit was posted");
        table.RevertLastPost();
        CheckContents(table, expected.Rows, "after the post was reverted");
        Check(posts == 1, "RevertLastPost fired AfterPost");
        table.RevertLastPost();
        CheckContents(table, expected.Rows, "after a second revert");
      }
    }

    if (data.ConsumeBool()) {
      // An appended row is stored, and is no edit to revert.
      auto rows = Contents(table);
      table.Append();
      std::vector<Value> buffer(table.FieldCount());
      const int changes = data.ConsumeIntegralInRange(0, 5);
      for (int k = 0; k < changes; ++k) {
        Change(table, data.ConsumeIntegralInRange<std::size_t>(0, table.FieldCount() - 1), data, buffer);
      }
      table.Post();
      rows.push_back(buffer);
      CheckContents(table, rows, "after an append");
      table.RevertLastPost();
      CheckContents(table, rows, "after a revert following an append");
    }
    table.Close();
    Check(table.RecordCount() == 0, "a closed table counts rows");
  }
  Check(gRecordsetsAlive == 0, "a record set was not released");
  return 0;
}
