// The wire's framing on its own: headers, greetings and payloads that break a rule
// are refused as a whole, and what is written reads back unchanged.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <vector>

#include "service/hardware_service.h"
#include "service/wire.h"

namespace velmora::wire {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> out;
  for (const int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

TEST(WireHeader, TableOfHeaders) {
  struct Case {
    const char* Name;
    std::vector<std::uint8_t> Bytes;
    bool Valid;
  };
  const Case cases[] = {
      {"empty hello", Bytes({0, 0, 0, 0, 1}), true},
      {"rows at the limit", Bytes({0, 0, 0x40, 0, 0x84}), true},
      {"one byte over the limit", Bytes({1, 0, 0x40, 0, 0x84}), false},
      {"length with the top bit", Bytes({0, 0, 0, 0x80, 2}), false},
      {"all ones", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), false},
      {"type zero", Bytes({0, 0, 0, 0, 0}), false},
      {"type between the ranges", Bytes({0, 0, 0, 0, 4}), false},
      {"type past the server's last", Bytes({0, 0, 0, 0, 0x86}), false},
  };
  for (const Case& c : cases) {
    std::uint8_t head[kHeaderSize];
    std::copy(c.Bytes.begin(), c.Bytes.end(), head);
    EXPECT_EQ(ParseHeader(head).has_value(), c.Valid) << c.Name;
  }
}

std::vector<std::uint8_t> HelloPayload(std::uint32_t magic, std::uint16_t version, int extra) {
  Writer writer(FrameType::Hello);
  writer.U32(magic);
  writer.U16(version);
  WriteGuid(writer, CLSID_Hardware);
  for (int i = 0; i < extra; ++i) writer.U8(0);
  std::vector<std::uint8_t> frame = writer.Finish();
  return {frame.begin() + kHeaderSize, frame.end()};
}

TEST(WireHello, TableOfGreetings) {
  struct Case {
    const char* Name;
    FrameType Type;
    std::vector<std::uint8_t> Payload;
    bool Valid;
  };
  std::vector<std::uint8_t> cut = HelloPayload(kMagic, kVersion, 0);
  cut.pop_back();
  const Case cases[] = {
      {"well-formed", FrameType::Hello, HelloPayload(kMagic, kVersion, 0), true},
      {"another version still parses", FrameType::Hello, HelloPayload(kMagic, 7, 0), true},
      {"one byte short", FrameType::Hello, cut, false},
      {"a byte too many", FrameType::Hello, HelloPayload(kMagic, kVersion, 1), false},
      {"empty", FrameType::Hello, {}, false},
      {"a call in its place", FrameType::ExecuteCommand, HelloPayload(kMagic, kVersion, 0), false},
  };
  for (const Case& c : cases) {
    const std::optional<Hello> hello = ParseHello({c.Type, c.Payload});
    EXPECT_EQ(hello.has_value(), c.Valid) << c.Name;
    if (hello && c.Valid) {
      EXPECT_EQ(hello->Clsid, CLSID_Hardware) << c.Name;
    }
  }
}

TEST(WirePayload, TableOfMalformedTexts) {
  struct Case {
    const char* Name;
    std::vector<std::uint8_t> Payload;
  };
  const Case cases[] = {
      {"no length", Bytes({1, 0})},
      {"length past the end", Bytes({3, 0, 0, 0, 'a', 0})},
      {"odd number of bytes", Bytes({1, 0, 0, 0, 'a'})},
      {"length over the text limit", Bytes({1, 0, 0x10, 0})},
      {"length near 2^32 (wraps when doubled)", Bytes({0xFF, 0xFF, 0xFF, 0x7F})},
  };
  for (const Case& c : cases) {
    Reader reader(c.Payload);
    std::u16string text;
    EXPECT_FALSE(reader.Text(text)) << c.Name;
    EXPECT_FALSE(reader.Ok()) << c.Name;
    std::uint8_t byte = 0;
    EXPECT_FALSE(reader.U8(byte)) << c.Name << ": a failed reader must stay failed";
  }
}

TEST(WirePayload, TableOfMalformedValues) {
  struct Case {
    const char* Name;
    std::vector<std::uint8_t> Payload;
  };
  const Case cases[] = {
      {"unknown tag", Bytes({9})},
      {"integer cut short", Bytes({1, 1, 2, 3})},
      {"UTF-8 text longer than the payload", Bytes({3, 5, 0, 0, 0, 'a', 'b'})},
      {"UTF-8 text over its limit", Bytes({3, 1, 0, 0x40, 0})},
      {"wide text over its limit", Bytes({4, 1, 0, 0x10, 0})},
      {"failure without its description flag", Bytes({5, 0, 0, 0, 0x80})},
      {"failure with a description flag of 2", Bytes({5, 0, 0, 0, 0x80, 2})},
  };
  for (const Case& c : cases) {
    Reader reader(c.Payload);
    EXPECT_FALSE(reader.SkipValue()) << c.Name;
  }
}

TEST(WirePayload, WhatIsWrittenReadsBack) {
  Writer writer(FrameType::Result);
  // Spelled with its length from the literal itself, so the NUL stays inside.
  constexpr char16_t kText[] = u"Zürich \u2028 line\0end";
  const std::u16string text(kText, std::size(kText) - 1);
  ASSERT_TRUE(writer.Text(text));
  writer.Result({E_FAIL, u"why"});
  writer.Result({S_OK, std::nullopt});
  writer.U64(0x0102030405060708ull);
  const std::vector<std::uint8_t>& frame = writer.Finish();
  std::uint8_t head[kHeaderSize];
  std::copy(frame.begin(), frame.begin() + kHeaderSize, head);
  ASSERT_TRUE(ParseHeader(head));
  EXPECT_EQ(ParseHeader(head)->Length, frame.size() - kHeaderSize);

  Reader reader(frame.data() + kHeaderSize, frame.size() - kHeaderSize);
  std::u16string back;
  CallResult failed;
  CallResult ok;
  std::uint64_t number = 0;
  ASSERT_TRUE(reader.Text(back) && reader.Result(failed) && reader.Result(ok) && reader.U64(number));
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_EQ(back, text);
  EXPECT_EQ(failed.Code, E_FAIL);
  EXPECT_EQ(failed.Description, std::u16string(u"why"));
  EXPECT_FALSE(ok.Description.has_value());
  EXPECT_EQ(number, 0x0102030405060708ull);
}

TEST(WirePayload, TextOverTheLimitIsNotWritten) {
  Writer writer(FrameType::OpenQuery);
  EXPECT_FALSE(writer.Text(std::u16string(kMaxTextUnits + 1, u'x')));
  EXPECT_EQ(writer.PayloadSize(), 0u);
  EXPECT_TRUE(writer.Text(std::u16string(kMaxTextUnits, u'x')));
}

// ReadFrame over a real socket pair: a frame cut short by a hang-up is malformed,
// a hang-up between frames is a clean close, and an oversized length is refused
// before anything of its payload is read or allocated.
TEST(WireSocket, TableOfStreams) {
  struct Case {
    const char* Name;
    std::vector<std::uint8_t> Sent;
    ReadStatus Expected;
  };
  const Case cases[] = {
      {"nothing, then hang-up", {}, ReadStatus::Closed},
      {"half a header", Bytes({4, 0}), ReadStatus::Malformed},
      {"header, half the payload", Bytes({4, 0, 0, 0, 2, 1, 0}), ReadStatus::Malformed},
      {"oversized length", Bytes({0xFF, 0xFF, 0xFF, 0x0F, 2}), ReadStatus::Malformed},
      {"whole frame", Bytes({2, 0, 0, 0, 0x85, 7, 7}), ReadStatus::Ok},
  };
  for (const Case& c : cases) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    if (!c.Sent.empty()) {
      ASSERT_TRUE(WriteAll(pair[0], c.Sent)) << c.Name;
    }
    close(pair[0]);
    Frame frame;
    EXPECT_EQ(ReadFrame(pair[1], frame), c.Expected) << c.Name;
    close(pair[1]);
  }
}

}  // namespace
}  // namespace velmora::wire
