// The load and the toggle through the local server, each beside the same work with
// the module in process: FormCreate and a check-box toggle, the utility's own code
// in both, on the same files. A velmora-hardware-server of the build tree runs for
// the whole program, as this user, on a socket of its own.
//
// Goals: the load through the server within 1.25x of the in-process load, with the
// utility's heap no larger (bytes_per_row); a toggle within 1.5x, or 0.3 ms more,
// of the in-process toggle.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "controllers/grid_view.h"
#include "service/com.h"

extern char** environ;

namespace velmora::bench {
namespace {

namespace fs = std::filesystem;

// The server and the registration that names it; started on first use.
class LocalServer {
 public:
  static LocalServer& Get() {
    static LocalServer server;
    return server;
  }
  const std::string& Registry() const { return FRegistry; }
  ~LocalServer() {
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      waitpid(FPid, nullptr, 0);
    }
    fs::remove_all(FDir);
  }

 private:
  LocalServer() {
    char pattern[] = "/tmp/velmora-local-bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
    FDir = pattern;
    FRegistry = FDir + "/registry";
    const std::string socket = FDir + "/hardware.sock";
    fs::create_directories(FRegistry);
    std::ofstream(FRegistry + "/72D2BD55-66FA-11D4-A097-0050DAC21168.class") << "LocalServer=" << socket << "\n";
    // The server's database is the one this process names when it starts.
    std::vector<std::string> args = {VELMORA_HARDWARE_SERVER, "--socket", socket};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&FPid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
      throw std::runtime_error("cannot start the server");
    }
    for (int i = 0; i < 200 && !fs::exists(socket); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  std::string FDir;
  std::string FRegistry;
  pid_t FPid = -1;
};

// Points the utility at the module in process (0) or at the local server (1).
void UseMode(int mode) {
  if (mode == 1) {
    setenv("VELMORA_REGISTRY", LocalServer::Get().Registry().c_str(), 1);
  } else {
    setenv("VELMORA_REGISTRY", VELMORA_BENCH_REGISTRY, 1);
  }
}

void BM_Load(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  const int rows = static_cast<int>(state.range(1));
  UseDatabase(DemoDatabase(rows));
  UseMode(mode);
  TimeLoads(state, rows);
  state.SetLabel(mode == 1 ? "local server" : "in process");
}

void BM_Toggle(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  UseDatabase(std::getenv("VELMORA_BENCH_TOGGLE_DB"));
  UseMode(mode);
  CoInitialize();
  NullHost host;
  TfrmMain form(host);
  form.FormCreate();
  GridView view(TfrmMain::Definition().GridView, form.DataSource1);
  constexpr int kDisabledColumn = 4;
  for (auto _ : state) view.ToggleCheck(0, kDisabledColumn);
  CoUninitialize();
  state.SetLabel(mode == 1 ? "local server" : "in process");
}

// The one server serves one database: the load's, or the toggle's copy, chosen by
// VELMORA_BENCH_LOCAL (load | toggle) before it starts.
void Register() {
  const char* which = std::getenv("VELMORA_BENCH_LOCAL");
  if (which != nullptr && std::string(which) == "toggle") {
    setenv("VELMORA_BENCH_TOGGLE_DB", WritableCopy(10000).c_str(), 1);
    UseDatabase(std::getenv("VELMORA_BENCH_TOGGLE_DB"));
    LocalServer::Get();
    benchmark::RegisterBenchmark("BM_Toggle", BM_Toggle)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
  } else {
    UseDatabase(DemoDatabase(1000000));
    LocalServer::Get();
    benchmark::RegisterBenchmark("BM_Load", BM_Load)
        ->Args({0, 1000000})
        ->Args({1, 1000000})
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace
}  // namespace velmora::bench

int main(int argc, char** argv) {
  velmora::bench::Register();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
