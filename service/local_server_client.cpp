#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "service/hardware_service.h"
#include "service/local_server.h"
#include "service/recordset.h"
#include "service/utf.h"
#include "service/wire.h"

namespace velmora {
namespace {

thread_local std::optional<std::string> tCreationFailure;

// Text codes the in-process record sets use, so a caller meets the same ones.
constexpr HRESULT kRecordsetClosed = MakeResult(0x80040304);
constexpr HRESULT kNoCurrentRow = MakeResult(0x80040305);
constexpr std::uint32_t kMaxRowsPerFrame = 1u << 16;

// "60 s", "2.5 s": the client's wait as a person reads it.
std::string TimeoutText() {
  const int ms = LocalServerTimeoutMs();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) text += "." + std::to_string(ms % 1000 / 100);
  return text + " s";
}

HRESULT Fail(HRESULT code, const std::string& description) {
  SetErrorInfo(Utf8ToUtf16(description));
  return code;
}

// One connection to the server, owned by the proxy that is using it. A connection
// that met any failure is closed and stays closed: what is left in its stream can
// no longer be trusted to line up with the calls.
class Connection {
 public:
  Connection(int fd, std::string socket) : FFd(fd), FSocket(std::move(socket)) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { Drop(); }

  bool Open() const { return FFd >= 0; }
  const std::string& Socket() const { return FSocket; }
  void Drop() {
    if (FFd >= 0) close(FFd);
    FFd = -1;
  }

  HRESULT Send(const std::vector<std::uint8_t>& bytes) {
    int error = 0;
    if (FFd < 0) return Lost("the connection was closed after an earlier failure");
    if (wire::WriteAll(FFd, bytes, &error)) return S_OK;
    return Transport(error == EAGAIN || error == EWOULDBLOCK ? wire::ReadStatus::TimedOut : wire::ReadStatus::Closed);
  }

  // Reads the next frame. On any failure the connection is dropped and the
  // failure is left in the error information.
  HRESULT Receive(wire::Frame& frame) {
    if (FFd < 0) return Lost("the connection was closed after an earlier failure");
    const wire::ReadStatus status = wire::ReadFrame(FFd, frame);
    return status == wire::ReadStatus::Ok ? S_OK : Transport(status);
  }

  // A reply that breaks the protocol.
  HRESULT Malformed() { return Transport(wire::ReadStatus::Malformed); }

 private:
  HRESULT Lost(const std::string& why) {
    Drop();
    return Fail(RPC_E_DISCONNECTED, "the hardware server at " + FSocket + ": " + why);
  }
  HRESULT Transport(wire::ReadStatus status) {
    Drop();
    switch (status) {
      case wire::ReadStatus::TimedOut:
        return Fail(RPC_E_TIMEOUT, "the hardware server at " + FSocket + " did not answer within " +
                                       TimeoutText() + "; the call was given up and may or may not have been carried out");
      case wire::ReadStatus::Malformed:
        return Lost("its reply was malformed; the call may or may not have been carried out");
      default:
        return Lost("the connection was lost during the call; it may or may not have been carried out");
    }
  }

  int FFd;
  std::string FSocket;
};

// Applies the call's outcome as an in-process call would leave it: the code, and
// the description in this thread's error information when the server had one.
HRESULT Apply(const wire::CallResult& result) {
  if (result.Description) SetErrorInfo(*result.Description);
  return result.Code;
}

HRESULT ReadResult(Connection& connection, wire::CallResult& result) {
  wire::Frame frame;
  if (const HRESULT hr = connection.Receive(frame); Failed(hr)) return hr;
  wire::Reader reader(frame.Payload);
  if (frame.Type != wire::FrameType::Result || !reader.Result(result) || !reader.AtEnd()) {
    return connection.Malformed();
  }
  return S_OK;
}

// A record set whose rows the server streams in batches; only the batch being
// read is held.
class RecordsetProxy final : public ComObject<IRecordset> {
 public:
  explicit RecordsetProxy(std::unique_ptr<Connection> connection) : FConnection(std::move(connection)) {}

  // Reads the field frame and the first batch. Failure is in the error information.
  HRESULT Start() {
    wire::Frame frame;
    if (const HRESULT hr = FConnection->Receive(frame); Failed(hr)) return hr;
    wire::Reader reader(frame.Payload);
    if (frame.Type == wire::FrameType::Result) {
      // The record set broke before its fields could be read.
      wire::CallResult result;
      if (!reader.Result(result) || !reader.AtEnd() || Succeeded(result.Code)) return FConnection->Malformed();
      FConnection->Drop();
      return Apply(result);
    }
    std::uint32_t count = 0;
    if (frame.Type != wire::FrameType::Fields || !reader.U32(count) || count > wire::kMaxFields) {
      return FConnection->Malformed();
    }
    FNames.resize(count);
    FKinds.resize(count);
    FScratch.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint8_t kind = 0;
      if (!reader.U8(kind) || kind > static_cast<std::uint8_t>(FieldKind::Other) || !reader.Text(FNames[i])) {
        return FConnection->Malformed();
      }
      FKinds[i] = static_cast<FieldKind>(kind);
    }
    if (!reader.AtEnd()) return FConnection->Malformed();
    return NextBatch();
  }

  HRESULT GetState(std::int32_t* state) override {
    if (state == nullptr) return NullPointer();
    *state = FClosed ? kStateClosed : kStateOpen;
    return S_OK;
  }
  HRESULT GetFieldCount(std::int32_t* count) override {
    if (count == nullptr) return NullPointer();
    if (FClosed) return Closed();
    *count = static_cast<std::int32_t>(FNames.size());
    return S_OK;
  }
  HRESULT GetFieldName(std::int32_t index, std::u16string* name) override {
    if (name == nullptr) return NullPointer();
    if (const HRESULT hr = CheckIndex(index); Failed(hr)) return hr;
    *name = FNames[static_cast<std::size_t>(index)];
    return S_OK;
  }
  HRESULT GetFieldKind(std::int32_t index, FieldKind* kind) override {
    if (kind == nullptr) return NullPointer();
    if (const HRESULT hr = CheckIndex(index); Failed(hr)) return hr;
    *kind = FKinds[static_cast<std::size_t>(index)];
    return S_OK;
  }
  HRESULT MoveFirst() override {
    if (FClosed) return Closed();
    if (!FMoved) return S_OK;
    return Fail(E_NOTIMPL, "a record set from the hardware server is read forwards only: it cannot go back to its "
                           "first row");
  }
  HRESULT MoveNext() override {
    if (FClosed) return Closed();
    if (FEof) return NoCurrentRow();
    FMoved = true;
    if (++FRow < FRows) return S_OK;
    return NextBatch();
  }
  HRESULT GetEOF(bool* eof) override {
    if (eof == nullptr) return NullPointer();
    if (FClosed) return Closed();
    *eof = FEof;
    return S_OK;
  }
  HRESULT GetValue(std::int32_t index, Variant* value) override {
    if (value == nullptr) return NullPointer();
    if (const HRESULT hr = CheckIndex(index); Failed(hr)) return hr;
    if (FEof) return NoCurrentRow();
    // Every value was checked when its batch arrived; these reads cannot fail.
    const std::size_t at = FOffsets[FRow * FNames.size() + static_cast<std::size_t>(index)];
    wire::Reader reader(FBatch.Payload.data() + at, FBatch.Payload.size() - at);
    std::uint8_t tag = 0;
    reader.U8(tag);
    std::uint64_t bits = 0;
    std::uint32_t n = 0;
    const std::uint8_t* bytes = nullptr;
    switch (static_cast<wire::ValueTag>(tag)) {
      case wire::ValueTag::Null:
        *value = Variant::Null();
        return S_OK;
      case wire::ValueTag::Integer:
        reader.U64(bits);
        *value = Variant::FromInteger(static_cast<std::int64_t>(bits));
        return S_OK;
      case wire::ValueTag::Real: {
        reader.U64(bits);
        double real = 0;
        std::memcpy(&real, &bits, sizeof real);
        *value = Variant::FromReal(real);
        return S_OK;
      }
      case wire::ValueTag::Text:
        reader.U32(n);
        reader.Bytes(n, bytes);
        *value = Variant::FromText(std::string_view(reinterpret_cast<const char*>(bytes), n));
        return S_OK;
      case wire::ValueTag::WideText: {
        std::u16string& text = FScratch[static_cast<std::size_t>(index)];
        reader.Text(text);
        *value = Variant::FromWideText(text);
        return S_OK;
      }
      case wire::ValueTag::Failure: {
        wire::CallResult result;
        reader.Result(result);
        return Apply(result);
      }
    }
    return E_UNEXPECTED;
  }
  HRESULT Close() override {
    if (FClosed) return Closed();
    FClosed = true;
    // The server notices the hang-up and ends its side; nothing it still had
    // to send is wanted.
    FConnection->Drop();
    FBatch.Payload.clear();
    FOffsets.clear();
    return S_OK;
  }

 private:
  ~RecordsetProxy() override = default;

  HRESULT NullPointer() { return Fail(E_POINTER, "Invalid pointer: a required argument is null"); }
  HRESULT Closed() { return Fail(kRecordsetClosed, "Operation is not allowed when the object is closed"); }
  HRESULT NoCurrentRow() { return Fail(kNoCurrentRow, "Either BOF or EOF is True: there is no current record"); }
  HRESULT CheckIndex(std::int32_t index) {
    if (FClosed) return Closed();
    if (index < 0 || static_cast<std::size_t>(index) >= FNames.size()) {
      return Fail(E_INVALIDARG, "field index " + std::to_string(index) + " is out of range: the record set has " +
                                    std::to_string(FNames.size()) + " fields");
    }
    return S_OK;
  }

  // Takes the next frame of the stream: a batch of rows, the end, or the failure
  // of the move past the last row received.
  HRESULT NextBatch() {
    FRow = 0;
    FRows = 0;
    for (;;) {
      FEof = true;
      if (const HRESULT hr = FConnection->Receive(FBatch); Failed(hr)) return hr;
      wire::Reader reader(FBatch.Payload);
      switch (FBatch.Type) {
        case wire::FrameType::End:
          if (!reader.AtEnd()) return FConnection->Malformed();
          FConnection->Drop();
          return S_OK;
        case wire::FrameType::Result: {
          wire::CallResult result;
          if (!reader.Result(result) || !reader.AtEnd() || Succeeded(result.Code)) return FConnection->Malformed();
          FConnection->Drop();
          return Apply(result);
        }
        case wire::FrameType::Rows:
          break;
        default:
          return FConnection->Malformed();
      }
      std::uint32_t rows = 0;
      if (!reader.U32(rows) || rows > kMaxRowsPerFrame) return FConnection->Malformed();
      FOffsets.resize(static_cast<std::size_t>(rows) * FNames.size());
      std::size_t k = 0;
      for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::size_t f = 0; f < FNames.size(); ++f) {
          FOffsets[k++] = reader.Position();
          if (!reader.SkipValue()) return FConnection->Malformed();
        }
      }
      if (!reader.AtEnd()) return FConnection->Malformed();
      if (rows == 0) continue;
      FRows = rows;
      FEof = false;
      return S_OK;
    }
  }

  std::unique_ptr<Connection> FConnection;
  std::vector<std::u16string> FNames;
  std::vector<FieldKind> FKinds;
  std::vector<std::u16string> FScratch;  // the wide texts handed out for the current row
  wire::Frame FBatch;
  std::vector<std::size_t> FOffsets;  // where each value of the batch starts, row by row
  std::size_t FRow = 0;
  std::size_t FRows = 0;
  bool FEof = true;
  bool FMoved = false;
  bool FClosed = false;
};

HRESULT Connect(const std::string& socketPath, const Guid& clsid, std::unique_ptr<Connection>& out);

// The service object's proxy. A query's rows keep its connection busy, so the
// record set takes the connection and the next call opens a new one.
class ServiceProxy final : public ComObject<IHardwareService> {
 public:
  ServiceProxy(std::unique_ptr<Connection> connection, std::string socket, const Guid& clsid)
      : FConnection(std::move(connection)), FSocket(std::move(socket)), FClsid(clsid) {}

  HRESULT OpenQuery(std::u16string_view text, IUnknown** result) override {
    if (result == nullptr) return NullPointer();
    *result = nullptr;
    if (const HRESULT hr = Call(wire::FrameType::OpenQuery, text); Failed(hr)) return hr;
    wire::CallResult outcome;
    if (const HRESULT hr = ReadResult(*FConnection, outcome); Failed(hr)) return hr;
    if (Failed(outcome.Code)) return Apply(outcome);
    const ComPtr<RecordsetProxy> recordset = ComPtr<RecordsetProxy>::Attach(new RecordsetProxy(std::move(FConnection)));
    if (const HRESULT hr = recordset->Start(); Failed(hr)) return hr;
    if (outcome.Description) SetErrorInfo(*outcome.Description);
    return recordset->QueryInterface(IUnknown::IID, reinterpret_cast<void**>(result));
  }

  HRESULT ExecuteCommand(std::u16string_view text) override {
    if (const HRESULT hr = Call(wire::FrameType::ExecuteCommand, text); Failed(hr)) return hr;
    wire::CallResult outcome;
    if (const HRESULT hr = ReadResult(*FConnection, outcome); Failed(hr)) return hr;
    return Apply(outcome);
  }

 private:
  ~ServiceProxy() override = default;

  HRESULT NullPointer() { return Fail(E_POINTER, "Invalid pointer: a required argument is null"); }

  // Sends one call, on a new connection when the last one went to a record set.
  HRESULT Call(wire::FrameType type, std::u16string_view text) {
    if (text.data() == nullptr) return NullPointer();
    wire::Writer writer(type);
    if (!writer.Text(text)) {
      return Fail(E_INVALIDARG, "the text is longer than the hardware server accepts (" +
                                    std::to_string(wire::kMaxTextUnits) + " UTF-16 code units)");
    }
    if (!FConnection || !FConnection->Open()) {
      if (const HRESULT hr = Connect(FSocket, FClsid, FConnection); Failed(hr)) {
        if (std::optional<std::string> why = TakeCreationFailure()) SetErrorInfo(Utf8ToUtf16(*why));
        return hr;
      }
    }
    return FConnection->Send(writer.Finish());
  }

  std::unique_ptr<Connection> FConnection;
  std::string FSocket;
  Guid FClsid;
};

void SetTimeouts(int fd) {
  const int ms = LocalServerTimeoutMs();
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

HRESULT CreationFailure(const std::string& socket, const std::string& why) {
  SetCreationFailure(socket + ": " + why);
  return CO_E_SERVER_EXEC_FAILURE;
}

HRESULT Connect(const std::string& socketPath, const Guid& clsid, std::unique_ptr<Connection>& out) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) {
    return CreationFailure(socketPath, "the socket's path is too long");
  }
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return CreationFailure(socketPath, std::strerror(errno));
  auto connection = std::make_unique<Connection>(fd, socketPath);
  SetTimeouts(fd);
  while (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EINTR) continue;
    // A full backlog waits out the send timeout and reports it as EAGAIN.
    const int error = errno;
    return CreationFailure(socketPath, error == EAGAIN ? "the server is too busy to take the connection"
                                                      : std::strerror(error));
  }
  wire::Writer hello(wire::FrameType::Hello);
  hello.U32(wire::kMagic);
  hello.U16(wire::kVersion);
  wire::WriteGuid(hello, clsid);
  int error = 0;
  if (!wire::WriteAll(fd, hello.Finish(), &error)) return CreationFailure(socketPath, std::strerror(error));

  wire::Frame reply;
  switch (wire::ReadFrame(fd, reply, &error)) {
    case wire::ReadStatus::Ok: break;
    case wire::ReadStatus::TimedOut:
      return CreationFailure(socketPath, "the server did not answer within " + TimeoutText());
    case wire::ReadStatus::Closed: return CreationFailure(socketPath, "the server closed the connection");
    default: return CreationFailure(socketPath, "the server's answer was malformed");
  }
  wire::Reader reader(reply.Payload);
  if (reply.Type == wire::FrameType::Result) {
    wire::CallResult refusal;
    if (!reader.Result(refusal) || !reader.AtEnd() || Succeeded(refusal.Code)) {
      return CreationFailure(socketPath, "the server's answer was malformed");
    }
    std::string why = refusal.Description ? TrimMessage(Utf16ToUtf8(*refusal.Description)) : std::string();
    if (why.empty()) why = TrimMessage(SystemErrorMessage(refusal.Code));
    if (why.empty()) why = OleErrorText(refusal.Code);
    SetCreationFailure(socketPath + ": " + why);
    return refusal.Code;
  }
  std::uint16_t version = 0;
  if (reply.Type != wire::FrameType::HelloReply || !reader.U16(version) || !reader.AtEnd() ||
      version != wire::kVersion) {
    return CreationFailure(socketPath, "the server's answer was malformed");
  }
  out = std::move(connection);
  return S_OK;
}

}  // namespace

int LocalServerTimeoutMs() {
  constexpr int kDefault = 60000;
  const char* value = std::getenv("VELMORA_LOCAL_SERVER_TIMEOUT_MS");
  if (value == nullptr || *value == '\0') return kDefault;
  char* end = nullptr;
  const long ms = std::strtol(value, &end, 10);
  // Zero would mean no bound at all, which is what this setting exists to prevent.
  if (*end != '\0' || ms <= 0 || ms > 3600000) return kDefault;
  return static_cast<int>(ms);
}

HRESULT CreateLocalServerObject(const std::filesystem::path& socket, const Guid& clsid, const Guid& iid,
                                void** object) {
  *object = nullptr;
  std::unique_ptr<Connection> connection;
  if (const HRESULT hr = Connect(socket.string(), clsid, connection); Failed(hr)) return hr;
  const ComPtr<IHardwareService> proxy =
      ComPtr<IHardwareService>::Attach(new ServiceProxy(std::move(connection), socket.string(), clsid));
  return proxy->QueryInterface(iid, object);
}

std::optional<std::string> TakeCreationFailure() { return std::exchange(tCreationFailure, std::nullopt); }

void SetCreationFailure(std::string text) { tCreationFailure = std::move(text); }

}  // namespace velmora
