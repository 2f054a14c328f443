#pragma once
// The server half of a local server's conversation with one client: the objects it
// asks for are made through CoCreateInstance in process, so a module served over the
// socket runs exactly as it runs inside a utility.

#include <optional>
#include <string>

namespace velmora {

struct SessionOptions {
  // When set, the client is told this (after its Hello) and the session ends: the
  // peer is not allowed to use the service.
  std::optional<std::string> Refusal;
  // Bounds on the peer: how long a request may take to arrive, how long a reply may
  // wait for the peer to make room for it.
  int ReceiveTimeoutMs = 60000;
  int SendTimeoutMs = 30000;
};

// How a session ended, for the server's own log.
struct SessionEnd {
  bool Clean = true;   // the client hung up between calls
  std::string Reason;  // otherwise what went wrong, for the log
};

// Serves the client on fd (a connected stream socket, not owned) until it hangs up,
// breaks the protocol, stops reading or stops sending. A request is only acted on
// once its frame has arrived whole.
SessionEnd ServeSession(int fd, const SessionOptions& options);

}  // namespace velmora
