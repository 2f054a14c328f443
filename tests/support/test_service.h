#pragma once
// A hardware service module for tests: registered like the real one, it records
// every text it receives, serves rows the test sets, and fails on demand. The test
// reaches its control block through the module's own exported function.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "service/result.h"

namespace velmora::test {

using TestValue = std::variant<std::monostate, std::int64_t, double, std::string, std::u16string>;

// A scripted failure: a result code and, optionally, a description.
struct Failure {
  HRESULT Code = 0;
  std::optional<std::u16string> Description;
};

struct TestServiceControl {
  // What happened.
  std::vector<std::u16string> Received;  // every text, in order
  int ObjectsCreated = 0;
  int ObjectsAlive = 0;     // service objects not yet released
  int RecordsetsAlive = 0;  // record sets not yet released

  // What to serve.
  std::vector<std::string> Columns{"Site", "Controller", "Controller Type", "Description", "Disabled"};
  std::vector<std::vector<TestValue>> Rows;

  // What to get wrong.
  bool NoClass = false;             // the module has no such class
  HRESULT EntryFailure = 0;         // the module's entry point fails with this code
  bool WithoutInterface = false;    // objects lack IHardwareService
  std::optional<Failure> OpenQueryFailure;
  bool OpenQueryReturnsNothing = false;
  bool OpenQueryReturnsNonRecordset = false;
  bool RecordsetClosed = false;
  int FailMoveNextAtRow = -1;       // MoveNext from this row fails
  Failure MoveNextFailure{};
  std::deque<std::optional<Failure>> ExecuteResults;  // per call; nothing left: success

  void Reset() { *this = TestServiceControl(); }
};

}  // namespace velmora::test

extern "C" velmora::test::TestServiceControl* VelmoraTestServiceControl();
