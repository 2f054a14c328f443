#include "service/wire.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>

namespace velmora::wire {

Writer::Writer(FrameType type) : FBytes(kHeaderSize, 0) { FBytes[4] = static_cast<std::uint8_t>(type); }

void Writer::U16(std::uint16_t v) {
  FBytes.push_back(static_cast<std::uint8_t>(v));
  FBytes.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Writer::U32(std::uint32_t v) {
  for (int i = 0; i < 4; ++i) FBytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Writer::U64(std::uint64_t v) {
  for (int i = 0; i < 8; ++i) FBytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Writer::Bytes(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  FBytes.insert(FBytes.end(), p, p + size);
}

bool Writer::Text(std::u16string_view text) {
  if (text.size() > kMaxTextUnits) return false;
  U32(static_cast<std::uint32_t>(text.size()));
  const std::size_t at = FBytes.size();
  FBytes.resize(at + 2 * text.size());
  std::uint8_t* out = FBytes.data() + at;
  for (const char16_t c : text) {
    *out++ = static_cast<std::uint8_t>(c);
    *out++ = static_cast<std::uint8_t>(c >> 8);
  }
  return true;
}

void Writer::Description(const std::optional<std::u16string>& description) {
  // A description too long for the wire keeps its start: the user still reads why.
  if (!description) {
    U8(0);
    return;
  }
  U8(1);
  (void)Text(std::u16string_view(*description).substr(0, kMaxTextUnits));
}

void Writer::Result(const CallResult& result) {
  I32(result.Code);
  Description(result.Description);
}

void Writer::PatchU32(std::size_t offset, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) FBytes[kHeaderSize + offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

const std::vector<std::uint8_t>& Writer::Finish() {
  const auto length = static_cast<std::uint32_t>(PayloadSize());
  for (int i = 0; i < 4; ++i) FBytes[i] = static_cast<std::uint8_t>(length >> (8 * i));
  return FBytes;
}

void Writer::Restart() { FBytes.resize(kHeaderSize); }

bool Reader::Bytes(std::size_t size, const std::uint8_t*& data) {
  if (!FOk || size > FSize - FPos) return Fail();
  data = FData + FPos;
  FPos += size;
  return true;
}

bool Reader::U8(std::uint8_t& v) {
  const std::uint8_t* p = nullptr;
  if (!Bytes(1, p)) return false;
  v = p[0];
  return true;
}

bool Reader::U16(std::uint16_t& v) {
  const std::uint8_t* p = nullptr;
  if (!Bytes(2, p)) return false;
  v = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
  return true;
}

bool Reader::U32(std::uint32_t& v) {
  const std::uint8_t* p = nullptr;
  if (!Bytes(4, p)) return false;
  v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return true;
}

bool Reader::U64(std::uint64_t& v) {
  const std::uint8_t* p = nullptr;
  if (!Bytes(8, p)) return false;
  v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return true;
}

bool Reader::I32(std::int32_t& v) {
  std::uint32_t u = 0;
  if (!U32(u)) return false;
  v = static_cast<std::int32_t>(u);
  return true;
}

bool Reader::Text(std::u16string& text) {
  std::uint32_t units = 0;
  if (!U32(units)) return false;
  if (units > kMaxTextUnits) return Fail();
  const std::uint8_t* p = nullptr;
  if (!Bytes(2 * static_cast<std::size_t>(units), p)) return false;
  text.resize(units);
  for (std::uint32_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
  return true;
}

bool Reader::Description(std::optional<std::u16string>& description) {
  std::uint8_t present = 0;
  if (!U8(present)) return false;
  if (present == 0) {
    description.reset();
    return true;
  }
  if (present != 1) return Fail();
  std::u16string text;
  if (!Text(text)) return false;
  description = std::move(text);
  return true;
}

bool Reader::Result(CallResult& result) { return I32(result.Code) && Description(result.Description); }

bool Reader::SkipValue() {
  std::uint8_t tag = 0;
  if (!U8(tag)) return false;
  const std::uint8_t* p = nullptr;
  std::uint32_t n = 0;
  switch (static_cast<ValueTag>(tag)) {
    case ValueTag::Null: return true;
    case ValueTag::Integer:
    case ValueTag::Real: return Bytes(8, p);
    case ValueTag::Text:
      if (!U32(n)) return false;
      if (n > 4 * kMaxTextUnits) return Fail();
      return Bytes(n, p);
    case ValueTag::WideText:
      if (!U32(n)) return false;
      if (n > kMaxTextUnits) return Fail();
      return Bytes(2 * static_cast<std::size_t>(n), p);
    case ValueTag::Failure: {
      CallResult ignored;
      return Result(ignored);
    }
  }
  return Fail();
}

std::optional<Header> ParseHeader(const std::uint8_t (&bytes)[kHeaderSize]) {
  Header header;
  header.Length = static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
                  (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
  if (header.Length > kMaxFramePayload) return std::nullopt;
  switch (static_cast<FrameType>(bytes[4])) {
    case FrameType::Hello:
    case FrameType::OpenQuery:
    case FrameType::ExecuteCommand:
    case FrameType::HelloReply:
    case FrameType::Result:
    case FrameType::Fields:
    case FrameType::Rows:
    case FrameType::End:
      header.Type = static_cast<FrameType>(bytes[4]);
      return header;
  }
  return std::nullopt;
}

void WriteGuid(Writer& writer, const Guid& guid) {
  writer.U32(guid.Data1);
  writer.U16(guid.Data2);
  writer.U16(guid.Data3);
  writer.Bytes(guid.Data4.data(), guid.Data4.size());
}

bool ReadGuid(Reader& reader, Guid& guid) {
  const std::uint8_t* p = nullptr;
  if (!reader.U32(guid.Data1) || !reader.U16(guid.Data2) || !reader.U16(guid.Data3) || !reader.Bytes(8, p)) {
    return false;
  }
  std::memcpy(guid.Data4.data(), p, 8);
  return true;
}

std::optional<Hello> ParseHello(const Frame& frame) {
  if (frame.Type != FrameType::Hello) return std::nullopt;
  Reader reader(frame.Payload);
  Hello hello;
  if (!reader.U32(hello.Magic) || !reader.U16(hello.Version) || !ReadGuid(reader, hello.Clsid) || !reader.AtEnd()) {
    return std::nullopt;
  }
  return hello;
}

namespace {

// Reads exactly size bytes. 0 when done, else the errno (ECONNRESET for a peer that
// hung up part-way, and got is how much came).
int ReadExactly(int fd, std::uint8_t* data, std::size_t size, std::size_t& got) {
  got = 0;
  while (got < size) {
    const ssize_t n = recv(fd, data + got, size - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return ECONNRESET;
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

ReadStatus StatusOf(int e) {
  return (e == EAGAIN || e == EWOULDBLOCK) ? ReadStatus::TimedOut : e == ECONNRESET ? ReadStatus::Closed
                                                                                      : ReadStatus::Failed;
}

}  // namespace

ReadStatus ReadFrame(int fd, Frame& frame, int* error) {
  std::uint8_t head[kHeaderSize];
  std::size_t got = 0;
  if (const int e = ReadExactly(fd, head, sizeof head, got); e != 0) {
    if (error) *error = e;
    if (e == ECONNRESET && got > 0) return ReadStatus::Malformed;
    return StatusOf(e);
  }
  const std::optional<Header> header = ParseHeader(head);
  if (!header) return ReadStatus::Malformed;
  frame.Type = header->Type;
  frame.Payload.resize(header->Length);
  if (const int e = ReadExactly(fd, frame.Payload.data(), header->Length, got); e != 0) {
    if (error) *error = e;
    return e == ECONNRESET ? ReadStatus::Malformed : StatusOf(e);
  }
  return ReadStatus::Ok;
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes, int* error) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (error) *error = n < 0 ? errno : EPIPE;
      return false;
    }
  }
  return true;
}

}  // namespace velmora::wire
