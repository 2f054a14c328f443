// velmora-hardware-server: the hardware service as a local server. Hosts the
// in-process module its own registration names (found as the utility finds it,
// through $VELMORA_REGISTRY and the XDG directories of the server's account) and
// serves it to clients on a UNIX stream socket.
//
//   velmora-hardware-server [--socket PATH] [--group NAME] [--max-clients N]
//                           [--client-timeout-ms MS]
//
// The socket is the one systemd hands over (LISTEN_FDS/LISTEN_PID), else PATH,
// which the server makes 0660 and gives to --group. A peer may use the service when
// it runs as root, as the server's own user, or has the socket's group (--group, else
// the group of the socket file) among its groups; others are told so and dropped.
// A client that sends nothing for MS (default 60000) between or within its calls,
// or reads nothing of a reply for MS, is dropped.
//
// Clients are served by N worker processes (--max-clients, default 8), forked
// before the module has done anything, each taking one client at a time from the
// shared socket and keeping its database connection between clients: a client that
// crashes the module costs one worker, which is replaced; a client beyond N waits
// in the socket's backlog until a worker is free.
// The caller's user comes from the socket (SO_PEERCRED), never from the client,
// and reaches the module for its audit log. The database, its credentials and the
// log are chosen only by the server's own configuration and environment.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "service/hardware_service.h"
#include "service/local_server.h"
#include "service/local_server_session.h"

namespace {

using velmora::HRESULT;

volatile sig_atomic_t gStop = 0;

void OnStop(int) { gStop = 1; }

void Log(const std::string& line) { std::fprintf(stderr, "velmora-hardware-server: %s\n", line.c_str()); }

[[noreturn]] void Die(const std::string& line) {
  Log(line);
  std::exit(1);
}

struct Options {
  std::string Socket;
  std::string Group;
  int MaxClients = 8;
  int ClientTimeoutMs = 60000;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--socket" && hasValue) {
      options.Socket = argv[++i];
    } else if (arg == "--group" && hasValue) {
      options.Group = argv[++i];
    } else if (arg == "--max-clients" && hasValue) {
      options.MaxClients = std::atoi(argv[++i]);
      if (options.MaxClients < 1) Die("--max-clients must be at least 1");
    } else if (arg == "--client-timeout-ms" && hasValue) {
      options.ClientTimeoutMs = std::atoi(argv[++i]);
      if (options.ClientTimeoutMs < 1) Die("--client-timeout-ms must be at least 1");
    } else {
      std::fputs("usage: velmora-hardware-server [--socket PATH] [--group NAME] [--max-clients N] "
                 "[--client-timeout-ms MS]\n", stderr);
      std::exit(2);
    }
  }
  return options;
}

// The listening socket systemd passed, if it passed one to this process.
std::optional<int> ActivatedSocket() {
  constexpr int kFirstFd = 3;
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  if (pid == nullptr || fds == nullptr || std::strtol(pid, nullptr, 10) != getpid()) return std::nullopt;
  // Our children are not meant for them.
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (std::strtol(fds, nullptr, 10) != 1) Die("systemd passed " + std::string(fds) + " sockets; expected one");
  int type = 0;
  int listening = 0;
  socklen_t length = sizeof type;
  sockaddr_storage address{};
  socklen_t addressLength = sizeof address;
  if (getsockopt(kFirstFd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM ||
      getsockopt(kFirstFd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &(length = sizeof listening)) != 0 || !listening ||
      getsockname(kFirstFd, reinterpret_cast<sockaddr*>(&address), &addressLength) != 0 ||
      address.ss_family != AF_UNIX) {
    Die("the socket systemd passed is not a listening UNIX stream socket");
  }
  fcntl(kFirstFd, F_SETFD, FD_CLOEXEC);
  return kFirstFd;
}

std::optional<gid_t> GroupId(const std::string& name) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  return found->gr_gid;
}

int ListenOn(const std::string& path, const std::optional<gid_t>& group) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) Die("socket path is empty or too long: " + path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Die(std::string("socket: ") + std::strerror(errno));
  // A socket left by a server that died is replaced; a live one, or anything that
  // is not a socket, is not.
  struct stat st{};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) Die(path + " exists and is not a socket");
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    if (live) Die(path + " is served by another process");
    unlink(path.c_str());
  }
  // Created 0660 from the start: no moment in which others could connect.
  const mode_t old = umask(0117);
  const int bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  umask(old);
  if (bound != 0) Die("bind " + path + ": " + std::strerror(bindError));
  if (group && chown(path.c_str(), static_cast<uid_t>(-1), *group) != 0) {
    const int error = errno;
    unlink(path.c_str());
    Die("cannot give " + path + " to its group: " + std::strerror(error));
  }
  if (listen(fd, 128) != 0) Die(std::string("listen: ") + std::strerror(errno));
  return fd;
}

// The group whose members may connect: the named one, else the socket file's.
gid_t AllowedGroup(int listener, const std::optional<gid_t>& named) {
  if (named) return *named;
  sockaddr_un address{};
  socklen_t length = sizeof address;
  struct stat st{};
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sun_path[0] != '\0' &&
      stat(address.sun_path, &st) == 0) {
    return st.st_gid;
  }
  return getegid();
}

std::string UserName(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name) {
    return found->pw_name;
  }
  return "uid " + std::to_string(uid);
}

// Whether the peer holds gid: its primary group or one of its supplementary groups,
// as the kernel recorded them when it connected.
bool PeerHasGroup(int fd, const ucred& peer, gid_t gid) {
  if (peer.gid == gid) return true;
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 4; ++attempt) {
    socklen_t length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
      groups.resize(length / sizeof(gid_t));
      for (const gid_t g : groups) {
        if (g == gid) return true;
      }
      return false;
    }
    if (errno != ERANGE) return false;
    groups.resize(length / sizeof(gid_t) + 1);
  }
  return false;
}

// Serves one client.
void ServeClient(int fd, gid_t allowed, int timeoutMs) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    Log(std::string("SO_PEERCRED: ") + std::strerror(errno));
    return;
  }
  const std::string name = UserName(peer.uid);
  velmora::SessionOptions options;
  options.ReceiveTimeoutMs = timeoutMs;
  options.SendTimeoutMs = timeoutMs;
  if (peer.uid != 0 && peer.uid != geteuid() && !PeerHasGroup(fd, peer, allowed)) {
    std::string group = "gid " + std::to_string(allowed);
    if (const ::group* entry = getgrgid(allowed); entry != nullptr && entry->gr_name) group = entry->gr_name;
    options.Refusal = "Permission denied: user " + name + " is not a member of group " + group;
  }
  velmora::SetCallerName(name);
  const velmora::SessionEnd end = velmora::ServeSession(fd, options);
  if (!end.Clean) Log("client " + name + " (pid " + std::to_string(peer.pid) + "): " + end.Reason);
  velmora::SetCallerName({});
}

// A worker process: takes clients one after another from the shared socket until
// told to stop. It keeps the module's state (its database connection) between
// clients, as one utility does between its calls.
[[noreturn]] void ServeClients(int listener, gid_t allowed, int timeoutMs) {
  while (!gStop) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
        Log(std::string("accept: ") + std::strerror(errno));
        usleep(100000);
      }
      continue;
    }
    ServeClient(fd, allowed, timeoutMs);
    close(fd);
  }
  std::fflush(stderr);
  // The module's connections close with the process; the parent's exit handlers
  // are not this process's to run.
  _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  std::optional<gid_t> group;
  if (!options.Group.empty()) {
    group = GroupId(options.Group);
    if (!group) Die("no such group: " + options.Group);
  }
  std::optional<int> listener = ActivatedSocket();
  const bool activated = listener.has_value();
  if (!listener) {
    if (options.Socket.empty()) Die("no socket: start by systemd socket activation or give --socket PATH");
    listener = ListenOn(options.Socket, group);
  }
  const gid_t allowed = AllowedGroup(*listener, group);

  signal(SIGPIPE, SIG_IGN);
  struct sigaction stop{};
  stop.sa_handler = OnStop;
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);

  // The module is found and loaded now, so that a broken installation fails at
  // start, and before any fork, so that every worker shares the loaded code.
  // Nothing of the module's runs until a client asks.
  velmora::CoInitialize();
  if (const HRESULT hr = velmora::PreloadInprocServer(velmora::CLSID_Hardware); velmora::Failed(hr)) {
    Die("cannot load the in-process hardware service " + velmora::CLSID_Hardware.ToString() + ": " +
        velmora::TrimMessage(velmora::SystemErrorMessage(hr)));
  }

  std::vector<pid_t> workers(static_cast<std::size_t>(options.MaxClients), -1);
  const pid_t parent = getpid();
  const auto startWorker = [&](pid_t& slot) {
    slot = fork();
    if (slot == 0) {
      // A worker goes with its server: one left behind by a server killed outright
      // would go on answering on the socket after the server is gone.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(0);
      ServeClients(*listener, allowed, options.ClientTimeoutMs);
    }
    if (slot < 0) Log(std::string("fork: ") + std::strerror(errno));
  };
  for (pid_t& slot : workers) startWorker(slot);
  while (!gStop) {
    int status = 0;
    const pid_t ended = waitpid(-1, &status, 0);
    if (ended < 0) {
      if (errno == ECHILD) break;
      continue;
    }
    for (pid_t& slot : workers) {
      if (slot != ended) continue;
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        Log("a client's process ended abnormally (status " + std::to_string(status) + "); starting another");
        // A module that fails every client must not make this a busy loop.
        usleep(100000);
      }
      if (!gStop) startWorker(slot);
    }
  }
  for (const pid_t worker : workers) {
    if (worker > 0) kill(worker, SIGTERM);
  }
  while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  // Clients being served finish their call; new ones find no socket ("No such
  // file or directory") rather than one nobody answers.
  close(*listener);
  if (!activated) unlink(options.Socket.c_str());
  velmora::CoUninitialize();
  return 0;
}
