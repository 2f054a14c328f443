// velmora-shown-probe <executable>: starts the utility on the current X display and
// prints the milliseconds from process start until its main window is mapped
// (the load ends before the window is first shown, so this is start to a window
// with every row). Ends the utility afterwards.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kCaption = "Velmora/Controller Connection Utility";

std::string WindowName(Display* display, Window window) {
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
  Atom type;
  int format;
  unsigned long items, after;
  unsigned char* data = nullptr;
  std::string name;
  if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &items, &after, &data) ==
          Success &&
      data != nullptr) {
    name.assign(reinterpret_cast<char*>(data), items);
    XFree(data);
  }
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velmora-shown-probe <executable>\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "velmora-shown-probe: no display\n");
    return 2;
  }
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XSync(display, False);

  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execl(argv[1], argv[1], static_cast<char*>(nullptr));
    _exit(127);
  }
  double ms = -1;
  while (ms < 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MapNotify && WindowName(display, event.xmap.window) == kCaption) {
      ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
    int status;
    if (waitpid(child, &status, WNOHANG) == child) {
      std::fprintf(stderr, "velmora-shown-probe: the utility ended before its window was shown\n");
      return 1;
    }
  }
  std::printf("%.1f\n", ms);
  kill(child, SIGTERM);
  waitpid(child, nullptr, 0);
  XCloseDisplay(display);
  return 0;
}
