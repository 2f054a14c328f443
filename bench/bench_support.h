#pragma once
// What the benchmarks share: demo databases of a given size, the list query as the
// utility sends it, and a TfrmMain host.

#include <string>

#include "controllers/main_window.h"

namespace benchmark {
class State;
}  // namespace benchmark

namespace velmora::bench {

// A demo database of rows rows, made once by velmora-demo-db and kept in the
// build tree.
std::string DemoDatabase(int rows);

// A fresh copy of the demo database for benchmarks that write.
std::string WritableCopy(int rows);

// The list query, exactly as the utility sends it.
std::u16string ListQuery();

// Points the shipped service at database (through the build tree's registration).
void UseDatabase(const std::string& database);

// Live bytes on the heap, from the allocator's own statistics.
std::size_t HeapInUse();

class NullHost : public TfrmMain::Host {
 public:
  void Close() override {}
};

// Times FormCreate alone, each iteration on a fresh window, with the service
// pointed wherever the caller pointed it; fails the run when fewer than rows
// rows arrive. Reports the rows and the bytes per row the table holds.
void TimeLoads(benchmark::State& state, int rows);

}  // namespace velmora::bench
