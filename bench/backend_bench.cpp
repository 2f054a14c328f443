// The load of 100,000 rows through each backend of the shipped service, side by
// side in one run: FormCreate on an SQLite file, and on PostgreSQL and MariaDB
// through ODBC. A server case needs its server: VELMORA_TEST_POSTGRES and
// VELMORA_TEST_MARIADB hold their ODBC connection strings without a database
// (scripts/postgres and scripts/mariadb start DIR write one to DIR/odbc.txt);
// without it the case is skipped.

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

void BM_LoadSqlite(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  unsetenv("VELMORA_ODBC");
  UseDatabase(DemoDatabase(rows));
  TimeLoads(state, rows);
}

// The same demo rows as the SQLite case, in a database of the run's own on a server.
template <class Database>
void LoadFromServer(benchmark::State& state, const std::string& server, const std::string& reason,
                    const char* schema, const char* analyze) {
  const int rows = static_cast<int>(state.range(0));
  if (server.empty()) {
    state.SkipWithError(("skipped: " + reason).c_str());
    for (auto _ : state) {
    }
    return;
  }
  Database database(server);
  database.Connection().Exec(schema);
  test::CopyControllers(DemoDatabase(rows), database.Connection());
  database.Connection().Exec(analyze);
  UseDatabase("");
  unsetenv("VELMORA_DATABASE");
  setenv("VELMORA_ODBC", database.ConnectionString().c_str(), 1);
  TimeLoads(state, rows);
  unsetenv("VELMORA_ODBC");
}

void BM_LoadPostgres(benchmark::State& state) {
  std::string reason;
  const std::string server = test::PostgresServer(reason);
  LoadFromServer<test::PostgresDatabase>(state, server, reason, test::kPostgresControllersSchema, "ANALYZE controllers");
}

void BM_LoadMariadb(benchmark::State& state) {
  std::string reason;
  const std::string server = test::MariadbServer(reason);
  LoadFromServer<test::MariadbDatabase>(state, server, reason, test::kMariadbControllersSchema, "ANALYZE TABLE Controllers");
}

BENCHMARK(BM_LoadSqlite)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadPostgres)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadMariadb)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmora::bench

BENCHMARK_MAIN();
