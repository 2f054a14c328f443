// Both ends of the local server's wire, each fed bytes of any kind from the other.
//
// Server mode (first byte even): the rest of the input is what a client sends;
// the session serves it with the shipped module (found through the build tree's
// registration) on a demo database. Checked: no crash or sanitizer report, the
// session ends by itself, and everything it sends back is well-formed frames.
// With bit 1 of the first byte clear, a valid greeting goes first, so the input's
// bytes reach the calls.
//
// Client mode (first byte odd): the rest is what a server answers; the client's
// proxies take it through CoHardware-style creation, OpenQuery with its rows read
// to the end, and ExecuteCommand. Checked: no crash, and every failure is a
// failure code that OleCheck turns into a message.
//
// Each statement the module runs gets a budget of virtual machine steps, so a
// fuzzed endless query fails instead of hanging the run.

#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "service/hardware_service.h"
#include "service/local_server.h"
#include "service/local_server_session.h"
#include "service/wire.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace velmora;

constexpr int kInputsPerDatabase = 50;
std::string gRoot;
std::string gDb;
std::string gSocket;
int gInputs = 0;

[[noreturn]] void Abort(const char* what) {
  std::fprintf(stderr, "local_server_fuzzer: %s\n", what);
  std::abort();
}

int OnProgress(void* steps) { return ++*static_cast<int*>(steps) > 2000 ? 1 : 0; }

int LimitConnection(sqlite3* db, char**, const void*) {
  static thread_local int steps = 0;
  steps = 0;
  sqlite3_progress_handler(db, 1000, OnProgress, &steps);
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 4 << 20);
  return SQLITE_OK;
}

void FreshDatabase() {
  fs::remove(gDb);
  fs::remove(gDb + "-wal");
  fs::remove(gDb + "-shm");
  std::string program = VELMORA_DEMO_DB;
  std::vector<std::string> args = {program, gDb, "--rows", "60"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) Abort("no velmora-demo-db");
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Abort("velmora-demo-db failed");
}

std::vector<std::uint8_t> HelloFrame() {
  wire::Writer hello(wire::FrameType::Hello);
  hello.U32(wire::kMagic);
  hello.U16(wire::kVersion);
  wire::WriteGuid(hello, CLSID_Hardware);
  return hello.Finish();
}

void ServerMode(const std::uint8_t* bytes, std::size_t size, bool greet) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) Abort("socketpair");
  std::vector<std::uint8_t> sent = greet ? HelloFrame() : std::vector<std::uint8_t>();
  sent.insert(sent.end(), bytes, bytes + size);
  std::thread client([&] {
    wire::WriteAll(pair[0], sent);
    shutdown(pair[0], SHUT_WR);
    for (;;) {
      wire::Frame frame;
      const wire::ReadStatus status = wire::ReadFrame(pair[0], frame);
      if (status == wire::ReadStatus::Closed) break;
      if (status != wire::ReadStatus::Ok) Abort("the server sent a malformed frame");
    }
  });
  SessionOptions options;
  options.ReceiveTimeoutMs = 2000;
  options.SendTimeoutMs = 2000;
  ServeSession(pair[1], options);
  close(pair[1]);
  client.join();
  close(pair[0]);
}

// A failure reaches the user as the message OleCheck makes of it; a server may
// leave no description (as a module may), but the message is never empty.
void CheckFailure(HRESULT hr) {
  try {
    OleCheck(hr);
  } catch (const OleError& e) {
    if (*e.what() == '\0') Abort("a failure with an empty message");
    return;
  }
  Abort("a failure code that OleCheck took for success");
}

void ClientMode(const std::uint8_t* bytes, std::size_t size, int listener) {
  std::thread server([&] {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    // Reads what the client sends only to keep it from blocking.
    std::thread drain([fd] {
      char buffer[4096];
      while (recv(fd, buffer, sizeof buffer, 0) > 0) {
      }
    });
    wire::WriteAll(fd, std::vector<std::uint8_t>(bytes, bytes + size));
    shutdown(fd, SHUT_WR);
    drain.join();
    close(fd);
  });
  ComPtr<IHardwareService> service;
  ClearErrorInfo();
  TakeCreationFailure();
  const HRESULT created = CreateLocalServerObject(gSocket, CLSID_Hardware, IHardwareService::IID, service.PutVoid());
  if (Failed(created)) {
    if (!TakeCreationFailure()) Abort("a creation failure without a reason");
  } else {
    // One connection serves both calls; a call that lost it ends the input, since
    // the fuzzed server takes no second one.
    ClearErrorInfo();
    const HRESULT executed = service->ExecuteCommand(u"UPDATE Controllers SET ConnectArden=1 WHERE Site=1");
    if (Failed(executed)) CheckFailure(executed);
    ComPtr<IUnknown> result;
    if (executed == RPC_E_DISCONNECTED || executed == RPC_E_TIMEOUT) {
    } else if (const HRESULT opened = service->OpenQuery(u"SELECT * FROM Controllers", result.Put()); Failed(opened)) {
      CheckFailure(opened);
    } else if (const ComPtr<IRecordset> recordset = AsRecordset(result)) {
      std::int32_t count = 0;
      if (Succeeded(recordset->GetFieldCount(&count))) {
        bool eof = false;
        for (int rows = 0; rows < 100000 && Succeeded(recordset->GetEOF(&eof)) && !eof; ++rows) {
          for (std::int32_t i = 0; i < count; ++i) {
            Variant value;
            if (const HRESULT hr = recordset->GetValue(i, &value); Failed(hr)) CheckFailure(hr);
          }
          if (const HRESULT hr = recordset->MoveNext(); Failed(hr)) {
            CheckFailure(hr);
            break;
          }
        }
      }
      recordset->Close();
    }
    service.Reset();
  }
  server.join();
}

int gListener = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/velmora-local-server-fuzz.XXXXXX";
  if (mkdtemp(pattern) == nullptr) Abort("mkdtemp");
  gRoot = pattern;
  gDb = gRoot + "/controllers.db";
  gSocket = gRoot + "/hardware.sock";
  std::atexit([] { fs::remove_all(gRoot); });
  setenv("VELMORA_REGISTRY", VELMORA_SHIPPED_REGISTRY, 1);
  setenv("VELMORA_DATABASE", gDb.c_str(), 1);
  setenv("VELMORA_LOCAL_SERVER_TIMEOUT_MS", "2000", 1);
  unsetenv("VELMORA_AUDIT_LOG");
  sqlite3_auto_extension(reinterpret_cast<void (*)()>(LimitConnection));
  FreshDatabase();
  CoInitialize();

  gListener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, gSocket.c_str(), sizeof address.sun_path - 1);
  if (bind(gListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(gListener, 8) != 0) {
    Abort("cannot listen");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return 0;
  if (++gInputs % kInputsPerDatabase == 0) FreshDatabase();
  if (bytes[0] % 2 == 0) {
    ServerMode(bytes + 1, size - 1, (bytes[0] & 2) == 0);
  } else {
    ClientMode(bytes + 1, size - 1, gListener);
  }
  return 0;
}
