#pragma once
// The client half of a local server: objects made by velmora-hardware-server on the
// other end of a UNIX socket, used here through proxies that offer IHardwareService
// and IRecordset exactly as an in-process module's objects do (see service/wire.h
// for what travels between them).

#include <filesystem>
#include <optional>
#include <string>

#include "service/com.h"

namespace velmora {

// The server could not be reached or refused the client; the description says why.
inline constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = MakeResult(0x80080005);
// The server went away, broke the protocol or stopped answering during a call.
inline constexpr HRESULT RPC_E_DISCONNECTED = MakeResult(0x80010108);
inline constexpr HRESULT RPC_E_TIMEOUT = MakeResult(0x8001011F);

// How long the client waits for any one reply of the server (or for room to send)
// before it gives the call up: $VELMORA_LOCAL_SERVER_TIMEOUT_MS, default 60000. The
// service's own bounds (a statement's 30 s, an ODBC login's 15 s) end well within it.
int LocalServerTimeoutMs();

// Connects to the server at socket and has it create an object of clsid for this
// client; on success *object is the proxy's iid. On failure the reason, with the
// socket's path first ("/run/velmora/hardware.sock: Connection refused"), is left
// for TakeCreationFailure.
HRESULT CreateLocalServerObject(const std::filesystem::path& socket, const Guid& clsid, const Guid& iid,
                                void** object);

// The reason the last creation on this thread failed, when the system's text for
// its code would not say enough; reading clears it.
std::optional<std::string> TakeCreationFailure();
void SetCreationFailure(std::string text);

// The user a server thread is working for, handed to modules through the host
// table (empty: the process's own user). Set by velmora-hardware-server from the
// socket's peer credentials.
void SetCallerName(std::string name);

// Loads the in-process module registered for clsid without asking it for anything,
// so that processes forked later share it; its failure code when it cannot be.
HRESULT PreloadInprocServer(const Guid& clsid);

}  // namespace velmora
