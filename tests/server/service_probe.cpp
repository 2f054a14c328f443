// A client of the hardware service in a process of its own, for what one test
// process cannot show: a first reading of the configuration files, several
// processes sharing one audit log, a user without write permission.
//
//   velmora-service-probe [--as-nobody] [--repeat N] [--start-when FILE] (query|command) TEXT ...
//
// --start-when holds the operations back until FILE exists, so that several
// probes started one after another work at the same time.
// Prints one line per operation: "ok <rows>" for a query, "ok" for a command, or
// "failed: <message>". Exit code 0 unless the arguments or the privileges failed.

#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "service/hardware_service.h"
#include "service/utf.h"

namespace {

int Usage() {
  std::fputs("usage: velmora-service-probe [--as-nobody] [--repeat N] [--start-when FILE] (query|command) TEXT ...\n", stderr);
  return 2;
}

std::string Run(velmora::IHardwareService& service, std::string_view op, const std::u16string& text) {
  try {
    if (op == "command") {
      velmora::ExecuteCommand(service, text);
      return "ok";
    }
    const auto recordset = velmora::OpenQuery(service, text).As<velmora::IRecordset>();
    long rows = 0;
    for (bool eof = false; velmora::Succeeded(recordset->GetEOF(&eof)) && !eof; recordset->MoveNext()) ++rows;
    return "ok " + std::to_string(rows);
  } catch (const velmora::OleError& e) {
    return std::string("failed: ") + e.what();
  }
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 1;
  bool asNobody = false;
  const char* startWhen = nullptr;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--as-nobody") {
      asNobody = true;
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (arg == "--start-when" && i + 1 < argc) {
      startWhen = argv[++i];
    } else {
      break;
    }
  }
  if (i == argc || (argc - i) % 2 != 0 || repeat < 1) return Usage();

  velmora::CoInitialize();
  // The first creation loads the module and reads the configuration: done before
  // the wait, so that the probes' operations overlap as much as they can.
  try {
    velmora::CoHardware::Create();
  } catch (const std::exception&) {
  }
  // Root may write any file; the read-only cases need an ordinary user. Dropped
  // after the module is loaded, since the build tree may lie where nobody may not go;
  // the database is opened only by the operations.
  if (asNobody) {
    constexpr uid_t kNobody = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
      std::perror("velmora-service-probe: cannot become nobody");
      return 3;
    }
  }
  while (startWhen != nullptr && access(startWhen, F_OK) != 0) usleep(1000);
  for (int round = 0; round < repeat; ++round) {
    for (int k = i; k < argc; k += 2) {
      std::string line;
      try {
        const auto service = velmora::CoHardware::Create();
        line = Run(*service, argv[k], velmora::Utf8ToUtf16(argv[k + 1]));
      } catch (const std::exception& e) {
        line = std::string("failed: ") + e.what();
      }
      std::printf("%s\n", line.c_str());
    }
  }
  std::fflush(stdout);
  velmora::CoUninitialize();
  return 0;
}
