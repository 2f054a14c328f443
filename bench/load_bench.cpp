// The load, the toggle and the sort, each beside the floor: the bare SQLite C API
// doing the same work on the same file.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "controllers/grid_view.h"
#include "service/com.h"

namespace velmora::bench {
namespace {

sqlite3* OpenDatabase(const std::string& path, int flags) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
  return db;
}

// Prepares the list query from UTF-16 and reads every column of every row; hands
// each row to store.
template <class Store>
void ReadAll(sqlite3* db, const std::u16string& query, Store&& store) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare16_v2(db, query.data(), static_cast<int>(query.size() * 2), &statement, nullptr);
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const int site = sqlite3_column_int(statement, 0);
    const int controller = sqlite3_column_int(statement, 1);
    const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(statement, 2));
    const int typeBytes = sqlite3_column_bytes(statement, 2);
    const auto* description = static_cast<const char16_t*>(sqlite3_column_text16(statement, 3));
    const int descriptionBytes = sqlite3_column_bytes16(statement, 3);
    const int disabled = sqlite3_column_int(statement, 4);
    store(site, controller, type, typeBytes, description, descriptionBytes, disabled);
  }
  sqlite3_finalize(statement);
}

void BM_FloorRead(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  sqlite3* db = OpenDatabase(DemoDatabase(rows), SQLITE_OPEN_READONLY);
  const std::u16string query = ListQuery();
  for (auto _ : state) {
    std::int64_t checksum = 0;
    ReadAll(db, query, [&](int site, int controller, const char* type, int, const char16_t* description, int, int disabled) {
      checksum += site + controller + disabled + (type != nullptr) + (description != nullptr);
    });
    benchmark::DoNotOptimize(checksum);
  }
  sqlite3_close(db);
  state.counters["rows"] = rows;
}

struct PlainRow {
  int Site;
  int Controller;
  std::string Type;
  std::u16string Description;
  int Disabled;
};

void BM_FloorStore(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  sqlite3* db = OpenDatabase(DemoDatabase(rows), SQLITE_OPEN_READONLY);
  const std::u16string query = ListQuery();
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::size_t before = HeapInUse();
    std::vector<PlainRow> stored;
    ReadAll(db, query, [&](int site, int controller, const char* type, int typeBytes, const char16_t* description,
                           int descriptionBytes, int disabled) {
      stored.push_back({site, controller, type ? std::string(type, static_cast<std::size_t>(typeBytes)) : std::string(),
                        description ? std::u16string(description, static_cast<std::size_t>(descriptionBytes) / 2)
                                    : std::u16string(),
                        disabled});
    });
    bytes = HeapInUse() - before;
    benchmark::DoNotOptimize(stored.data());
  }
  sqlite3_close(db);
  state.counters["rows"] = rows;
  state.counters["bytes_per_row"] = static_cast<double>(bytes) / rows;
}

// Our path: FormCreate through the shipped service module, the record set,
// ADODataSet1 and kbmControllers, ending with the data source told once.
void BM_Load(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  UseDatabase(DemoDatabase(rows));
  TimeLoads(state, rows);
}

// The journal modes a site's file may be in; the service keeps the file's own.
constexpr const char* kJournals[] = {"wal", "delete"};

// A copy of the 10,000-row demo database in the journal mode of the benchmark's
// argument, labelled with it.
std::string WritableCopyIn(benchmark::State& state) {
  const std::string path = WritableCopy(10000);
  const char* journal = kJournals[state.range(0)];
  sqlite3* db = OpenDatabase(path, SQLITE_OPEN_READWRITE);
  sqlite3_exec(db, (std::string("PRAGMA journal_mode=") + journal).c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  state.SetLabel(journal);
  return path;
}

// One check-box toggle through kbmControllersAfterPost and the shipped service,
// until the statement is durable.
void BM_Toggle(benchmark::State& state) {
  UseDatabase(WritableCopyIn(state));
  CoInitialize();
  NullHost host;
  TfrmMain form(host);
  form.FormCreate();
  GridView view(TfrmMain::Definition().GridView, form.DataSource1);
  constexpr int kDisabledColumn = 4;
  for (auto _ : state) view.ToggleCheck(0, kDisabledColumn);
  CoUninitialize();
}

// The same UPDATE through the bare C API, on the same file and journal mode.
void BM_BareUpdate(benchmark::State& state) {
  const std::string path = WritableCopyIn(state);
  sqlite3* db = OpenDatabase(path, SQLITE_OPEN_READWRITE);
  sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  int value = 0;
  for (auto _ : state) {
    value = 1 - value;
    const std::string statement = TfrmMain::FormatWriteBack(value, 1, 1);
    if (sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) state.SkipWithError(sqlite3_errmsg(db));
  }
  sqlite3_close(db);
}

// A header click: sorting the view of a million rows by a column.
void BM_Sort(benchmark::State& state) {
  const int column = static_cast<int>(state.range(0));
  UseDatabase(DemoDatabase(1000000));
  CoInitialize();
  NullHost host;
  TfrmMain form(host);
  form.FormCreate();
  GridView view(TfrmMain::Definition().GridView, form.DataSource1);
  for (auto _ : state) {
    view.SortBy(column, false);
    state.PauseTiming();
    view.SortBy(-1, false);
    state.ResumeTiming();
  }
  CoUninitialize();
  state.SetLabel(TfrmMain::Definition().GridView.Columns[static_cast<std::size_t>(column)].FieldName);
}

BENCHMARK(BM_FloorRead)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorStore)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Toggle)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_BareUpdate)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_Sort)->Arg(3)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmora::bench

BENCHMARK_MAIN();
