// Streams: memory, file and window streams, the delimited get and the
// buffered byte reader.

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "zstream.h"

namespace {

// A stream whose reads return scripted chunks in turn: bytes (cut to the
// length asked for), a failed read (-1), or a claim of more bytes than asked
// for. An exhausted script is the end of the data.
class ScriptedStream : public TqorStream {
public:
  void add(const std::string& bytes) { script.push_back({bytes, 0}); }
  void addFailure() { script.push_back({std::string(), -1}); }
  void addClaim(int bytes) { script.push_back({std::string(), bytes}); }
  std::vector<int> requests;

protected:
  int readMethod(void* buffer, int length) override {
    requests.push_back(length);
    if (script.empty()) return 0;
    Chunk chunk = script.front();
    script.pop_front();
    if (chunk.result == -1) return -1;
    if (chunk.result > 0) {
      std::memset(buffer, 'c', static_cast<size_t>(length));
      return chunk.result;
    }
    int n = static_cast<int>(chunk.bytes.size()) < length ? static_cast<int>(chunk.bytes.size()) : length;
    std::memcpy(buffer, chunk.bytes.data(), static_cast<size_t>(n));
    return n;
  }
  int writeMethod(const void*, int) override { return 0; }
  int seekMethod(long, int) override { return -1; }
  int tellMethod() override { return 0; }
  int closeMethod() override { return 0; }
  int sizeMethod() override { return 0; }

private:
  struct Chunk {
    std::string bytes;
    int result;  // 0: the bytes; -1: failure; above 0: a claimed count
  };
  std::deque<Chunk> script;
};

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 1);
  return s;
}

// ---------------------------------------------------------------- memory stream

TEST(MemoryStream, TransfersStayInsideWindow) {
  unsigned char data[12];
  std::memset(data, '.', sizeof data);
  TqorMemoryStream s(data, 10);
  ASSERT_EQ(s.seek(8, SEEK_SET), 8);
  char out[5];
  EXPECT_EQ(s.read(out, 5), 2);  // a short count is not a failure
  EXPECT_EQ(s.gcount(), 2);
  EXPECT_EQ(s.fail(), 0);
  EXPECT_EQ(s.read(out, 5), 0);
  EXPECT_EQ(s.fail(), 0);
  s.seek(8, SEEK_SET);
  EXPECT_EQ(s.write("ABCDE", 5), 2);  // the rest is dropped and the stream fails
  EXPECT_EQ(s.fail(), 1);
  EXPECT_EQ(s.gcount(), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 4), "AB..");
  TqorMemoryStream unset;
  EXPECT_EQ(unset.read(out, 1), -1);
  EXPECT_EQ(unset.gcount(), -1);
  EXPECT_EQ(unset.fail(), 1);
  EXPECT_EQ(unset.seek(0, SEEK_SET), -1);
}

struct SeekCase {
  int from;
  long offset;
  int origin;
  int result;  // -1: refused, position kept
};

class MemorySeek : public testing::TestWithParam<SeekCase> {};

TEST_P(MemorySeek, ChecksTargetAgainstWindow) {
  const SeekCase& c = GetParam();
  char data[10] = {};
  TqorMemoryStream s(data, 10);
  ASSERT_EQ(s.seek(c.from, SEEK_SET), c.from);
  EXPECT_EQ(s.seek(c.offset, c.origin), c.result);
  EXPECT_EQ(s.tell(), c.result == -1 ? c.from : c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, MemorySeek,
    testing::Values(SeekCase{0, 10, SEEK_SET, 10}, SeekCase{0, 11, SEEK_SET, -1}, SeekCase{5, -1, SEEK_SET, -1},
                    SeekCase{5, 3, SEEK_CUR, 8}, SeekCase{5, -5, SEEK_CUR, 0}, SeekCase{5, -6, SEEK_CUR, -1},
                    SeekCase{5, 6, SEEK_CUR, -1}, SeekCase{5, 0, SEEK_END, 10}, SeekCase{5, -10, SEEK_END, 0},
                    SeekCase{5, -11, SEEK_END, -1}, SeekCase{5, 1, SEEK_END, -1},
                    SeekCase{5, 4, 3, 5},  // unknown origin reports the position
                    // targets beyond 32 bits must not wrap into the window
                    SeekCase{5, 4294967296L + 2, SEEK_SET, -1}, SeekCase{5, 4294967296L - 3, SEEK_CUR, -1},
                    SeekCase{5, LONG_MIN, SEEK_SET, -1}, SeekCase{5, LONG_MIN, SEEK_CUR, -1},
                    SeekCase{5, LONG_MIN, SEEK_END, -1}, SeekCase{5, LONG_MAX, SEEK_SET, -1}));

// Separate so that the additions that could overflow are visible on their own.
INSTANTIATE_TEST_SUITE_P(Extreme, MemorySeek,
                         testing::Values(SeekCase{5, LONG_MAX, SEEK_CUR, -1}, SeekCase{5, LONG_MAX, SEEK_END, -1}));

TEST(MemoryStream, CopyHasItsOwnPosition) {
  char data[6] = "abcde";
  TqorMemoryStream a(data, 5);
  a.seek(1, SEEK_SET);
  TqorMemoryStream b(a);
  EXPECT_EQ(b.get(), 'b');
  EXPECT_EQ(a.tell(), 1);
  EXPECT_EQ(b.tell(), 2);
  TqorMemoryStream c;
  c = b;
  EXPECT_EQ(c.get(), 'c');
  EXPECT_EQ(b.tell(), 2);
  EXPECT_EQ(c.size(), 5);
}

// ---------------------------------------------------------------- delimited get

struct GetCase {
  const char* input;
  int count;
  const char* stored;  // null: nothing stored at all
  int position;
};

class DelimitedGet : public testing::TestWithParam<GetCase> {};

TEST_P(DelimitedGet, StopsAtDelimiterCountOrEnd) {
  const GetCase& c = GetParam();
  std::string input = c.input;
  TqorMemoryStream s(input.data(), static_cast<int>(input.size()));
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  s.get(buffer, c.count, '\n');
  EXPECT_EQ(s.tell(), c.position);
  if (!c.stored) {
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(16, '#'));
    return;
  }
  EXPECT_STREQ(buffer, c.stored);
  // nothing beyond the terminator is touched
  for (size_t i = std::strlen(c.stored) + 1; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '#') << i;
}

INSTANTIATE_TEST_SUITE_P(Lines, DelimitedGet,
                         testing::Values(GetCase{"ab\ncd", 5, "ab", 3}, GetCase{"abcdefg", 5, "abcd", 5},
                                         GetCase{"abcde", 5, "abcd", 5}, GetCase{"abcd", 5, "abcd", 4},
                                         GetCase{"abc", 10, "abc", 3}, GetCase{"", 10, "", 0},
                                         GetCase{"\nabc", 5, "", 1}, GetCase{"xyz", 1, "", 1},
                                         GetCase{"xyz", 0, nullptr, 1}, GetCase{"xyz", -3, nullptr, 1},
                                         GetCase{"", 0, nullptr, 0}));

TEST(OneByteGet, ReturnsUnsignedBytesThenZero) {
  unsigned char data[] = {0xff, 0x00, 0x80};
  TqorMemoryStream s(data, 3);
  EXPECT_EQ(s.get(), 255);
  EXPECT_EQ(s.get(), 0);
  EXPECT_EQ(s.get(), 128);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(s.get(), 0);
  EXPECT_EQ(s.tell(), 3);
  EXPECT_EQ(s.fail(), 0);
  TqorMemoryStream none;
  EXPECT_EQ(none.get(), 0);
}

// ---------------------------------------------------------------- file and window streams

class FileStreamTest : public testing::Test {
protected:
  void SetUp() override {
    file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    contents = pattern(200);
    ASSERT_EQ(std::fwrite(contents.data(), 1, contents.size(), file), contents.size());
    std::rewind(file);
    stream.init(file);
  }
  void TearDown() override {
    if (stream.file()) stream.close();
  }
  FILE* file = nullptr;
  std::string contents;
  TqorFileStream stream;
};

TEST_F(FileStreamTest, SizeLeavesPositionAtEnd) {
  char buffer[8];
  EXPECT_EQ(stream.seek(-8, SEEK_END), 192);
  EXPECT_EQ(stream.read(buffer, 8), 8);
  EXPECT_EQ(std::string(buffer, 8), contents.substr(192));
  EXPECT_EQ(stream.seek(17, SEEK_SET), 17);
  EXPECT_EQ(stream.size(), 200);
  EXPECT_EQ(std::ftell(file), 200L);
  EXPECT_EQ(stream.write("tail", 4), 4);
  EXPECT_EQ(stream.size(), 204);
  EXPECT_EQ(stream.seek(-1, SEEK_SET), -1);
}

TEST_F(FileStreamTest, ClosedStreamReportsFailures) {
  EXPECT_EQ(stream.close(), 0);
  EXPECT_EQ(stream.file(), nullptr);
  char c;
  EXPECT_EQ(stream.read(&c, 1), -1);
  EXPECT_EQ(stream.fail(), 1);
  EXPECT_EQ(stream.tell(), -1);
  EXPECT_EQ(stream.seek(0, SEEK_SET), -1);
  EXPECT_EQ(stream.close(), 0);
}

TEST_F(FileStreamTest, WindowSeeksRelativeToItsStart) {
  TqorRestrictedStream window(&stream, 100, 50);
  EXPECT_EQ(std::ftell(file), 0L);  // construction does not move the file
  EXPECT_EQ(window.seek(0, SEEK_SET), 100);
  EXPECT_EQ(std::ftell(file), 100L);
  EXPECT_EQ(window.tell(), 0);
  EXPECT_EQ(window.size(), 50);
  EXPECT_EQ(window.seek(10, SEEK_END), 140);  // counts back from the end of the window
  EXPECT_EQ(std::ftell(file), 140L);
  EXPECT_EQ(window.tell(), 40);
  EXPECT_EQ(window.seek(5, SEEK_CUR), 145);
  EXPECT_EQ(window.seek(3, 9), 0);  // unknown origin moves nothing
  EXPECT_EQ(std::ftell(file), 145L);
  EXPECT_EQ(window.close(), 0);
  EXPECT_NE(stream.file(), nullptr);  // the inner stream stays open
}

TEST_F(FileStreamTest, WindowTransfersLeaveInnerStateAlone) {
  char buffer[64];
  ASSERT_EQ(stream.read(buffer, 3), 3);
  TqorRestrictedStream window(&stream, 100, 50);
  window.seek(0, SEEK_SET);
  EXPECT_EQ(window.read(buffer, 10), 10);
  EXPECT_EQ(std::string(buffer, 10), contents.substr(100, 10));
  EXPECT_EQ(window.gcount(), 10);
  EXPECT_EQ(stream.gcount(), 3);
  window.seek(0, SEEK_SET);
  EXPECT_EQ(window.read(buffer, 60), 60);  // the window does not clip transfers

  TqorMemoryStream unset;  // reads -1
  TqorRestrictedStream broken(&unset, 0, 4);
  EXPECT_EQ(broken.read(buffer, 4), -1);
  EXPECT_EQ(broken.fail(), 1);
  EXPECT_EQ(unset.fail(), 0);
  EXPECT_EQ(unset.gcount(), 0);
  TqorRestrictedStream detached;
  EXPECT_EQ(detached.read(buffer, 1), -1);
  EXPECT_EQ(detached.seek(0, SEEK_SET), -1);
  EXPECT_EQ(detached.tell(), -1);
}

TEST(RestrictedStream, ExtremeOffsetsAreRefused) {
  char data[200] = {};
  TqorMemoryStream inner(data, 200);
  TqorRestrictedStream window(&inner, 100, 50);
  inner.seek(120, SEEK_SET);
  EXPECT_EQ(window.seek(LONG_MAX, SEEK_SET), -1);
  EXPECT_EQ(window.seek(LONG_MIN, SEEK_END), -1);
  EXPECT_EQ(inner.tell(), 120);
}

// ---------------------------------------------------------------- buffered reader

TEST(SmartReadBytes, HandsOutBytesAcrossRefills) {
  std::string data = pattern(3000);
  TqorMemoryStream s(data.data(), 3000);
  TSmartReadBytes reader(&s);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(reader.get(), static_cast<unsigned char>(data[i])) << i;
  EXPECT_EQ(s.tell(), 3000);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(reader.get(), 0);
  EXPECT_EQ(s.tell(), 3000);
}

TEST(SmartReadBytes, EndOfDataKeepsReaderConsistent) {
  ScriptedStream s;
  s.add("ab");
  TSmartReadBytes reader(&s);
  EXPECT_EQ(reader.get(), 'a');
  EXPECT_EQ(reader.get(), 'b');
  EXPECT_EQ(reader.get(), 0);
  EXPECT_EQ(reader.get(), 0);
  // more data later: the reader picks it up from where it stood
  s.add("cd");
  EXPECT_EQ(reader.get(), 'c');
  char rest[4] = {};
  EXPECT_EQ(reader.read(rest, 1), 1);
  EXPECT_EQ(rest[0], 'd');
  for (int n : s.requests) EXPECT_EQ(n, TSmartReadBytes::bufferSize);
}

TEST(SmartReadBytes, FailedRefillGivesZeroAndClearsStream) {
  ScriptedStream s;
  s.addFailure();
  s.add("z");
  TSmartReadBytes reader(&s);
  EXPECT_EQ(reader.get(), 0);
  EXPECT_EQ(s.fail(), 0);
  EXPECT_EQ(reader.get(), 'z');
}

TEST(SmartReadBytes, ReadTakesBufferThenStream) {
  ScriptedStream s;
  s.add("01234");
  s.add("56789XYZ");
  TSmartReadBytes reader(&s);
  EXPECT_EQ(reader.get(), '0');  // four bytes left in the buffer
  char out[16] = {};
  EXPECT_EQ(reader.read(out, 10), 10);
  EXPECT_STREQ(out, "123456789X");
  ASSERT_EQ(s.requests.size(), 2u);
  EXPECT_EQ(s.requests[1], 6);
  EXPECT_EQ(reader.read(out, 3), 0);  // end of the data
  EXPECT_EQ(reader.read(out, -3), 0);

  ScriptedStream t;
  t.add("abcdef");
  TSmartReadBytes buffered(&t);
  buffered.get();
  EXPECT_EQ(buffered.read(out, 5), 5);  // all from the buffer
  EXPECT_EQ(std::string(out, 5), "bcdef");
  EXPECT_EQ(t.requests.size(), 1u);
}

TEST(SmartReadBytes, FailedStreamReadCountsAsZero) {
  ScriptedStream s;
  s.add("ab");
  s.addFailure();
  TSmartReadBytes reader(&s);
  EXPECT_EQ(reader.get(), 'a');
  char out[8] = {};
  EXPECT_EQ(reader.read(out, 8), 1);
  EXPECT_EQ(out[0], 'b');
  ScriptedStream failing;
  failing.addFailure();
  TSmartReadBytes direct(&failing);
  EXPECT_EQ(direct.read(out, 8), 0);
  TSmartReadBytes idle, noStream(nullptr);
  EXPECT_EQ(idle.get(), 0);
  EXPECT_EQ(idle.read(out, 4), 0);
  EXPECT_EQ(noStream.get(), 0);
  EXPECT_EQ(noStream.read(out, 4), 0);
}

TEST(SmartReadBytes, LargeReadRightAfterConstruction) {
  std::string data = pattern(3000);
  TqorMemoryStream s(data.data(), 3000);
  TSmartReadBytes reader(&s);
  std::vector<char> out(3000);
  EXPECT_EQ(reader.read(out.data(), 3000), 3000);
  EXPECT_EQ(std::string(out.data(), 3000), data);
  EXPECT_EQ(reader.get(), 0);
}

// A stream that claims more bytes than it was asked for must not make the
// reader hand out bytes from beyond its 2048-byte buffer.
TEST(SmartReadBytes, OverclaimingStreamStaysInsideBuffer) {
  ScriptedStream s;
  s.addClaim(TSmartReadBytes::bufferSize + 1000);
  TSmartReadBytes reader(&s);
  for (int i = 0; i < TSmartReadBytes::bufferSize; ++i) ASSERT_EQ(reader.get(), 'c') << i;
  EXPECT_EQ(reader.get(), 0);  // must refill (and find the end), not read past the buffer
  EXPECT_EQ(s.requests.size(), 2u);
}

}  // namespace
