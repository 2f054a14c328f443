// velmora-toggle-probe: the utility without its window, for tests that need several
// operators at once. Loads the controller list through the hardware service as the
// window does, then toggles "Disabled" of the given rows (0-based, in list order)
// as the grid does, printing one line per toggle as soon as it returns:
//   "ok <site>/<controller> <stored value>"   or   "failed: <message>"
//
//   velmora-toggle-probe [--start-when FILE] [--repeat N] [--hold] ROW...
//
// --start-when waits for FILE before the first toggle, so that probes started one
// after another toggle at the same time; --hold sleeps after the last line until
// killed.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "controllers/grid_view.h"
#include "controllers/main_window.h"

namespace {

class NullHost : public velmora::TfrmMain::Host {
 public:
  void Close() override {}
};

}  // namespace

int main(int argc, char** argv) {
  const char* startWhen = nullptr;
  int repeat = 1;
  bool hold = false;
  std::vector<int> rows;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--start-when" && i + 1 < argc) {
      startWhen = argv[++i];
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (arg == "--hold") {
      hold = true;
    } else {
      rows.push_back(std::atoi(argv[i]));
    }
  }
  velmora::CoInitialize();
  NullHost host;
  velmora::TfrmMain form(host);
  try {
    form.FormCreate();
  } catch (const std::exception& e) {
    std::printf("load failed: %s\n", e.what());
    return 1;
  }
  velmora::GridView view(velmora::TfrmMain::Definition().GridView, form.DataSource1);
  constexpr int kDisabledColumn = 4;
  while (startWhen != nullptr && access(startWhen, F_OK) != 0) usleep(500);
  for (int round = 0; round < repeat; ++round) {
    for (const int row : rows) {
      std::string line;
      try {
        view.ToggleCheck(row, kDisabledColumn);
        line = "ok " + form.kbmControllersSite.AsString() + "/" + form.kbmControllersController.AsString() + " " +
               form.kbmControllersDisabled.AsString();
      } catch (const std::exception& e) {
        line = std::string("failed: ") + e.what();
      }
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    }
  }
  if (hold) {
    for (;;) pause();
  }
  velmora::CoUninitialize();
  return 0;
}
