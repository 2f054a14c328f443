#include "bench/bench_support.h"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

#include "service/com.h"
#include "service/utf.h"

namespace velmora::bench {

std::string DemoDatabase(int rows) {
  const std::string path = std::string(VELMORA_BENCH_DATA) + "/controllers-" + std::to_string(rows) + ".db";
  if (!std::filesystem::exists(path)) {
    std::filesystem::create_directories(VELMORA_BENCH_DATA);
    const std::string command = std::string(VELMORA_DEMO_DB) + " " + path + " --rows " + std::to_string(rows) + " >/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("velmora-demo-db failed");
  }
  return path;
}

std::string WritableCopy(int rows) {
  const std::string source = DemoDatabase(rows);
  const std::string copy = std::string(VELMORA_BENCH_DATA) + "/writable-" + std::to_string(rows) + ".db";
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(copy + suffix);
  std::filesystem::copy_file(source, copy);
  return copy;
}

std::u16string ListQuery() {
  NullHost host;
  const TfrmMain form(host);
  return Utf8ToUtf16(form.QuillStringsList1.StringsByName("Controllers").Text());
}

void UseDatabase(const std::string& database) {
  setenv("VELMORA_REGISTRY", VELMORA_BENCH_REGISTRY, 1);
  setenv("VELMORA_DATABASE", database.c_str(), 1);
}

std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void TimeLoads(benchmark::State& state, int rows) {
  CoInitialize();
  NullHost host;
  std::size_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto form = std::make_unique<TfrmMain>(host);
    const std::size_t before = HeapInUse();
    state.ResumeTiming();
    form->FormCreate();
    state.PauseTiming();
    if (form->kbmControllers.RecordCount() != rows) state.SkipWithError("short load");
    bytes = HeapInUse() - before;
    form.reset();
    state.ResumeTiming();
  }
  CoUninitialize();
  state.counters["rows"] = rows;
  state.counters["bytes_per_row"] = static_cast<double>(bytes) / rows;
}

}  // namespace velmora::bench
