// The load of 100,000 rows through each backend of the shipped service, side by
// side in one run: FormCreate on an SQLite file, and on PostgreSQL through ODBC.
// The PostgreSQL case needs a server: VELMORA_TEST_POSTGRES holds its ODBC
// connection string without a database (scripts/postgres start DIR writes one to
// DIR/odbc.txt); without it the case is skipped.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "bench/bench_support.h"
#include "service/com.h"
#include "tests/support/odbc_database.h"

namespace velmora::bench {
namespace {

// FormCreate, timed alone, with the service pointed wherever the caller pointed it.
void TimeLoads(benchmark::State& state, int rows) {
  CoInitialize();
  NullHost host;
  for (auto _ : state) {
    state.PauseTiming();
    auto form = std::make_unique<TfrmMain>(host);
    state.ResumeTiming();
    form->FormCreate();
    state.PauseTiming();
    if (form->kbmControllers.RecordCount() != rows) state.SkipWithError("short load");
    form.reset();
    state.ResumeTiming();
  }
  CoUninitialize();
  state.counters["rows"] = rows;
}

void BM_LoadSqlite(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  unsetenv("VELMORA_ODBC");
  UseDatabase(DemoDatabase(rows));
  TimeLoads(state, rows);
}

void BM_LoadPostgres(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  std::string reason;
  const std::string server = test::PostgresServer(reason);
  if (server.empty()) {
    state.SkipWithError(("skipped: " + reason).c_str());
    for (auto _ : state) {
    }
    return;
  }
  // The same demo rows as the SQLite case, in a database of the run's own.
  test::PostgresDatabase database(server);
  database.Connection().Exec(test::kPostgresControllersSchema);
  test::CopyControllers(DemoDatabase(rows), database.Connection());
  database.Connection().Exec("ANALYZE controllers");
  UseDatabase("");
  unsetenv("VELMORA_DATABASE");
  setenv("VELMORA_ODBC", database.ConnectionString().c_str(), 1);
  TimeLoads(state, rows);
  unsetenv("VELMORA_ODBC");
}

BENCHMARK(BM_LoadSqlite)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadPostgres)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmora::bench

BENCHMARK_MAIN();
