#include "service/local_server_session.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include "service/hardware_service.h"
#include "service/local_server.h"
#include "service/recordset.h"
#include "service/utf.h"
#include "service/wire.h"

namespace velmora {
namespace {

constexpr std::uint32_t kMaxRowsPerFrame = 1u << 16;

void SetTimeout(int fd, int option, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

std::optional<std::u16string> Description(const std::string& text) { return Utf8ToUtf16(text); }

// The outcome of the call just made: its code and what it left in the error
// information, taken so the next call starts clean.
wire::CallResult Outcome(HRESULT hr) { return {hr, TakeErrorInfo()}; }

class Session {
 public:
  Session(int fd, const SessionOptions& options) : FFd(fd), FOptions(options) {}

  SessionEnd Run();

 private:
  bool Send(wire::Writer& writer) {
    int error = 0;
    if (wire::WriteAll(FFd, writer.Finish(), &error)) return true;
    FEnd = {false, error == EAGAIN || error == EWOULDBLOCK ? "the client stopped reading"
                                                          : std::string("sending failed: ") + std::strerror(error)};
    return false;
  }
  bool SendResult(const wire::CallResult& result) {
    wire::Writer writer(wire::FrameType::Result);
    writer.Result(result);
    return Send(writer);
  }
  bool Refuse(HRESULT code, const std::string& why) {
    SendResult({code, Description(why)});
    FEnd = {false, "refused: " + why};
    return false;
  }
  bool Start();
  bool Call(const wire::Frame& frame);
  bool StreamRows(IRecordset& recordset);
  static void EncodeValue(IRecordset& recordset, std::int32_t index, wire::Writer& out);

  int FFd;
  const SessionOptions& FOptions;
  ComPtr<IHardwareService> FService;
  SessionEnd FEnd;
};

SessionEnd Session::Run() {
  SetTimeout(FFd, SO_RCVTIMEO, FOptions.ReceiveTimeoutMs);
  SetTimeout(FFd, SO_SNDTIMEO, FOptions.SendTimeoutMs);
  if (!Start()) return FEnd;
  for (;;) {
    wire::Frame frame;
    switch (wire::ReadFrame(FFd, frame)) {
      case wire::ReadStatus::Ok: break;
      case wire::ReadStatus::Closed: return {};
      case wire::ReadStatus::TimedOut: return {false, "the client sent nothing in time"};
      case wire::ReadStatus::Malformed: return {false, "malformed or cut-off frame"};
      case wire::ReadStatus::Failed: return {false, "receiving failed"};
    }
    if (!Call(frame)) return FEnd;
  }
}

bool Session::Start() {
  wire::Frame frame;
  switch (wire::ReadFrame(FFd, frame)) {
    case wire::ReadStatus::Ok: break;
    // A peer that only checks whether anybody listens.
    case wire::ReadStatus::Closed: FEnd = {}; return false;
    default: FEnd = {false, "no greeting"}; return false;
  }
  const std::optional<wire::Hello> hello = wire::ParseHello(frame);
  if (!hello || hello->Magic != wire::kMagic) {
    FEnd = {false, "malformed greeting"};
    return false;
  }
  if (hello->Version != wire::kVersion) {
    return Refuse(CO_E_SERVER_EXEC_FAILURE, "the server speaks protocol version " + std::to_string(wire::kVersion) +
                                                ", the client version " + std::to_string(hello->Version));
  }
  if (FOptions.Refusal) return Refuse(E_ACCESSDENIED, *FOptions.Refusal);
  // In process only: a registration that names a local server must never lead a
  // server to call itself.
  ClearErrorInfo();
  const HRESULT hr =
      CoCreateInstance(hello->Clsid, nullptr, CLSCTX_INPROC_SERVER, IHardwareService::IID, FService.PutVoid());
  if (Failed(hr)) {
    ClearErrorInfo();
    std::string why = TrimMessage(SystemErrorMessage(hr));
    return Refuse(hr, why.empty() ? OleErrorText(hr) : why);
  }
  wire::Writer reply(wire::FrameType::HelloReply);
  reply.U16(wire::kVersion);
  return Send(reply);
}

bool Session::Call(const wire::Frame& frame) {
  wire::Reader reader(frame.Payload);
  std::u16string text;
  if ((frame.Type != wire::FrameType::OpenQuery && frame.Type != wire::FrameType::ExecuteCommand) ||
      !reader.Text(text) || !reader.AtEnd()) {
    FEnd = {false, "malformed call"};
    return false;
  }
  ClearErrorInfo();
  if (frame.Type == wire::FrameType::ExecuteCommand) return SendResult(Outcome(FService->ExecuteCommand(text)));

  ComPtr<IUnknown> object;
  const wire::CallResult opened = Outcome(FService->OpenQuery(text, object.Put()));
  if (!SendResult(opened)) return false;
  if (Failed(opened.Code)) return true;
  const ComPtr<IRecordset> recordset = AsRecordset(object);
  if (!recordset) {
    return SendResult({E_NOINTERFACE, Description("The hardware service reported success but returned no record set")});
  }
  const bool sent = StreamRows(*recordset);
  recordset->Close();
  ClearErrorInfo();
  return sent;
}

bool Session::StreamRows(IRecordset& recordset) {
  std::int32_t count = 0;
  if (const HRESULT hr = recordset.GetFieldCount(&count); Failed(hr)) return SendResult(Outcome(hr));
  if (count < 0 || static_cast<std::uint32_t>(count) > wire::kMaxFields) {
    return SendResult({E_FAIL, Description("the record set has " + std::to_string(count) +
                                           " fields; the hardware server sends at most " +
                                           std::to_string(wire::kMaxFields))});
  }
  wire::Writer fields(wire::FrameType::Fields);
  fields.U32(static_cast<std::uint32_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    std::u16string name;
    IRecordset::FieldKind kind = IRecordset::FieldKind::Other;
    if (const HRESULT hr = recordset.GetFieldName(i, &name); Failed(hr)) return SendResult(Outcome(hr));
    if (const HRESULT hr = recordset.GetFieldKind(i, &kind); Failed(hr)) return SendResult(Outcome(hr));
    if (static_cast<std::uint32_t>(kind) > static_cast<std::uint32_t>(IRecordset::FieldKind::Other)) {
      kind = IRecordset::FieldKind::Other;
    }
    fields.U8(static_cast<std::uint8_t>(kind));
    if (!fields.Text(std::u16string_view(name).substr(0, 1024))) return false;
  }
  if (!Send(fields)) return false;

  wire::Writer batch(wire::FrameType::Rows);
  wire::Writer row(wire::FrameType::Rows);
  std::uint32_t rows = 0;
  batch.U32(0);
  // The count goes in once the batch is full.
  const auto flush = [&]() {
    if (rows == 0) return true;
    batch.PatchU32(0, rows);
    if (!Send(batch)) return false;
    batch.Restart();
    batch.U32(0);
    rows = 0;
    return true;
  };

  bool eof = true;
  ClearErrorInfo();
  if (const HRESULT hr = recordset.GetEOF(&eof); Failed(hr)) return SendResult(Outcome(hr));
  while (!eof) {
    row.Restart();
    for (std::int32_t i = 0; i < count; ++i) EncodeValue(recordset, i, row);
    if (row.PayloadSize() > wire::kMaxFramePayload - 4) {
      // One row must fit one frame; its values cannot be sent, but why can.
      row.Restart();
      for (std::int32_t i = 0; i < count; ++i) {
        row.U8(static_cast<std::uint8_t>(wire::ValueTag::Failure));
        row.Result({E_OUTOFMEMORY, Description("the row is larger than the hardware server sends (" +
                                               std::to_string(wire::kMaxFramePayload >> 20) + " MiB)")});
      }
    }
    if (batch.PayloadSize() + row.PayloadSize() > wire::kMaxFramePayload && !flush()) return false;
    batch.Bytes(row.Finish().data() + wire::kHeaderSize, row.PayloadSize());
    if ((++rows == kMaxRowsPerFrame || batch.PayloadSize() >= wire::kRowBatchBytes) && !flush()) return false;

    ClearErrorInfo();
    if (const HRESULT hr = recordset.MoveNext(); Failed(hr)) {
      const wire::CallResult failure = Outcome(hr);
      return flush() && SendResult(failure);
    }
    if (const HRESULT hr = recordset.GetEOF(&eof); Failed(hr)) {
      const wire::CallResult failure = Outcome(hr);
      return flush() && SendResult(failure);
    }
  }
  if (!flush()) return false;
  wire::Writer end(wire::FrameType::End);
  return Send(end);
}

void Session::EncodeValue(IRecordset& recordset, std::int32_t index, wire::Writer& out) {
  Variant value;
  ClearErrorInfo();
  if (const HRESULT hr = recordset.GetValue(index, &value); Failed(hr)) {
    out.U8(static_cast<std::uint8_t>(wire::ValueTag::Failure));
    out.Result(Outcome(hr));
    return;
  }
  const auto tooLong = [&] {
    out.U8(static_cast<std::uint8_t>(wire::ValueTag::Failure));
    out.Result({E_OUTOFMEMORY, Description("the value is longer than the hardware server sends (" +
                                           std::to_string(wire::kMaxTextUnits) + " characters)")});
  };
  switch (value.Type) {
    case Variant::Kind::Null:
      out.U8(static_cast<std::uint8_t>(wire::ValueTag::Null));
      return;
    case Variant::Kind::Integer:
      out.U8(static_cast<std::uint8_t>(wire::ValueTag::Integer));
      out.U64(static_cast<std::uint64_t>(value.Integer));
      return;
    case Variant::Kind::Real: {
      std::uint64_t bits = 0;
      std::memcpy(&bits, &value.Real, sizeof bits);
      out.U8(static_cast<std::uint8_t>(wire::ValueTag::Real));
      out.U64(bits);
      return;
    }
    case Variant::Kind::Text:
      if (value.Text.size() > 4 * static_cast<std::size_t>(wire::kMaxTextUnits)) return tooLong();
      out.U8(static_cast<std::uint8_t>(wire::ValueTag::Text));
      out.U32(static_cast<std::uint32_t>(value.Text.size()));
      out.Bytes(value.Text.data(), value.Text.size());
      return;
    case Variant::Kind::WideText:
      if (value.WideText.size() > wire::kMaxTextUnits) return tooLong();
      out.U8(static_cast<std::uint8_t>(wire::ValueTag::WideText));
      (void)out.Text(value.WideText);
      return;
  }
  out.U8(static_cast<std::uint8_t>(wire::ValueTag::Null));
}

}  // namespace

SessionEnd ServeSession(int fd, const SessionOptions& options) {
  Session session(fd, options);
  return session.Run();
}

}  // namespace velmora
