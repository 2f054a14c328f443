#pragma once
// The local server's wire: length-prefixed frames over a UNIX stream socket.
//
// A frame is a 5-byte header, the payload's length (u32, little-endian, at most
// kMaxFramePayload) and the frame's type (u8), followed by the payload. Integers are
// little-endian; a text is its length in UTF-16 code units (u32, at most
// kMaxTextUnits) and those units. A conversation:
//
//   client  Hello {magic u32, version u16, clsid 16 bytes}
//   server  HelloReply {version u16}       or Result {failure}, then it hangs up
//   then any number of calls, one at a time:
//   client  OpenQuery {text}                ExecuteCommand {text}
//   server  Result {code i32, description}  Result {code i32, description}
//           on success, then Fields {count u32, count x (kind u8, name text)}
//           and Rows {count u32, values} frames up to End {} (no more rows) or a
//           Result (the failure of the move past the last row sent).
//
// A value is a tag (u8) and its data: Null; Integer i64; Real (IEEE 754 bits, u64);
// Text (u32 byte count, UTF-8 bytes); WideText (text); Failure (code i32,
// description) for a value the record set could not hand out. A description is a
// u8 (0 none, 1 present) followed by the text when present.
//
// Everything read from a socket is checked against these rules before it is used;
// a frame that breaks one ends the connection.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/guid.h"
#include "service/result.h"

namespace velmora::wire {

inline constexpr std::uint32_t kMagic = 0x524D4C56;  // "VLMR"
inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 5;
inline constexpr std::uint32_t kMaxFramePayload = 4u << 20;
inline constexpr std::uint32_t kMaxTextUnits = 1u << 20;
// A record set's rows are sent in frames of about this size.
inline constexpr std::size_t kRowBatchBytes = 64u << 10;
inline constexpr std::uint32_t kMaxFields = 4096;

enum class FrameType : std::uint8_t {
  Hello = 1,
  OpenQuery = 2,
  ExecuteCommand = 3,
  HelloReply = 0x81,
  Result = 0x82,
  Fields = 0x83,
  Rows = 0x84,
  End = 0x85,
};

enum class ValueTag : std::uint8_t { Null = 0, Integer = 1, Real = 2, Text = 3, WideText = 4, Failure = 5 };

// A whole frame as read from the socket.
struct Frame {
  FrameType Type{};
  std::vector<std::uint8_t> Payload;
};

// The outcome of a call: its code and, when the callee left one, its description.
struct CallResult {
  HRESULT Code = S_OK;
  std::optional<std::u16string> Description;
};

// Builds one frame's payload.
class Writer {
 public:
  explicit Writer(FrameType type);
  void U8(std::uint8_t v) { FBytes.push_back(v); }
  void U16(std::uint16_t v);
  void U32(std::uint32_t v);
  void U64(std::uint64_t v);
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void Bytes(const void* data, std::size_t size);
  // False, with nothing written, when text is over kMaxTextUnits.
  [[nodiscard]] bool Text(std::u16string_view text);
  void Description(const std::optional<std::u16string>& description);
  void Result(const CallResult& result);
  // Overwrites the u32 written at offset of the payload.
  void PatchU32(std::size_t offset, std::uint32_t v);

  std::size_t PayloadSize() const { return FBytes.size() - kHeaderSize; }
  // The frame, header included; the length field is filled in here.
  const std::vector<std::uint8_t>& Finish();
  // Starts the payload anew with the same type, keeping the buffer.
  void Restart();

 private:
  std::vector<std::uint8_t> FBytes;
};

// Reads a payload; every read fails once the payload is short or a limit is broken,
// and stays failed.
class Reader {
 public:
  explicit Reader(const std::vector<std::uint8_t>& payload) : FData(payload.data()), FSize(payload.size()) {}
  Reader(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}

  bool U8(std::uint8_t& v);
  bool U16(std::uint16_t& v);
  bool U32(std::uint32_t& v);
  bool U64(std::uint64_t& v);
  bool I32(std::int32_t& v);
  bool Text(std::u16string& text);
  // A borrowed view of the next size bytes.
  bool Bytes(std::size_t size, const std::uint8_t*& data);
  bool Description(std::optional<std::u16string>& description);
  bool Result(CallResult& result);
  // Moves past one value without decoding its text.
  bool SkipValue();

  bool Ok() const { return FOk; }
  bool AtEnd() const { return FOk && FPos == FSize; }
  std::size_t Position() const { return FPos; }

 private:
  bool Fail() { FOk = false; return false; }
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FPos = 0;
  bool FOk = true;
};

// The header's payload length and type, or nothing when the header breaks the
// rules (unknown type, payload over kMaxFramePayload).
struct Header {
  std::uint32_t Length = 0;
  FrameType Type{};
};
std::optional<Header> ParseHeader(const std::uint8_t (&bytes)[kHeaderSize]);

// The Hello a client sends, as the server reads it.
struct Hello {
  std::uint32_t Magic = 0;
  std::uint16_t Version = 0;
  Guid Clsid;
};
void WriteGuid(Writer& writer, const Guid& guid);
bool ReadGuid(Reader& reader, Guid& guid);
std::optional<Hello> ParseHello(const Frame& frame);

// How reading a frame from a socket ended.
enum class ReadStatus { Ok, Closed, TimedOut, Malformed, Failed };

// Reads one whole frame from fd (a socket whose receive timeout bounds each wait).
// Closed: the peer hung up before a frame began; a frame cut short is Malformed.
ReadStatus ReadFrame(int fd, Frame& frame, int* error = nullptr);

// Writes bytes whole (MSG_NOSIGNAL: a gone peer is an error, not a signal). False,
// with *error set, when the peer is gone or the send timeout ran out.
bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes, int* error = nullptr);

}  // namespace velmora::wire
