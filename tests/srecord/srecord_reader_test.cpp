#include "srecord/srecord_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "srecord_test_support.h"

namespace {

// Address bytes of an S2 record followed by its data: a packet body.
Bytes S2Body(uint32_t address, const Bytes& data) {
  Bytes body = {static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                static_cast<uint8_t>(address)};
  body.insert(body.end(), data.begin(), data.end());
  return body;
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::string kHeader = Record('0', {0x00, 0x00});
const std::string kS8 = Record('8', {0x00, 0x00, 0x00});
const Bytes kHeaderPacket = Frame(0, {0x00, 0x00});
const Bytes kS8Packet = Frame(8, {0x00, 0x00, 0x00});

TEST(HexValue, DecodesDigitsOfEitherCase) {
  struct Case {
    const char* text;
    int digits;
    int32_t value;
  };
  const Case cases[] = {
      {"00", 2, 0x00}, {"9F", 2, 0x9F}, {"1a", 2, 26},  {"fF", 2, 0xFF},
      {"001000", 6, 0x1000}, {"ABCDEF", 6, 0xABCDEF}, {"7", 1, 7}, {"12", 0, 0}, {"12", -3, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HexValue(c.text, c.digits), c.value) << c.text << " over " << c.digits;
  }
}

class Reader : public ::testing::Test {
 protected:
  std::string Write(const std::string& content) { return dir_.Write("in.m0", content); }
  TempDir dir_;
};

TEST_F(Reader, WorkedExampleGivesItsFourPackets) {
  const std::string path = Write(
      "S0030000FC\r\n"
      "S20800100001020304DD\r\n"
      "S20800100105060708CC\r\n"
      "S2080010080A0B0C0DB1\r\n"
      "S804000000FB\r\n");
  ReaderOnFile reader(path);
  ASSERT_TRUE(reader.open());
  FlashState& s = reader.state;

  struct Step {
    Bytes packet;
    int32_t recordsRead;
    bool pending;
  };
  const Step steps[] = {
      {{0x7F, 0x00, 0x03, 0x00, 0x00, 0xFC}, 1, false},
      {{0x7F, 0x02, 0x0C, 0x00, 0x10, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xBF},
       4, true},
      {{0x7F, 0x02, 0x08, 0x00, 0x10, 0x08, 0x0A, 0x0B, 0x0C, 0x0D, 0xB1}, 5, true},
      {{0x7F, 0x08, 0x04, 0x00, 0x00, 0x00, 0xFB}, 5, false},
  };
  int call = 1;
  for (const Step& step : steps) {
    ASSERT_EQ(AssemblePacket(s, s.nextPacket), 1) << "call " << call;
    EXPECT_EQ(PacketBytes(s.nextPacket), step.packet) << "call " << call;
    EXPECT_EQ(s.recordsRead, step.recordsRead) << "call " << call;
    EXPECT_EQ(s.linePending, step.pending) << "call " << call;
    ++call;
  }
  EXPECT_EQ(s.bytesRead, 92);
  EXPECT_EQ(static_cast<int64_t>(s.bytesRead), std::filesystem::file_size(path));
}

struct MergeCase {
  const char* name;
  std::vector<std::string> lines;  // the file, LF line ends
  std::vector<Bytes> packets;      // every packet up to and including the terminator
};

class Merging : public Reader, public ::testing::WithParamInterface<MergeCase> {};

TEST_P(Merging, BuildsThePacketsOfTheRun) {
  const MergeCase& c = GetParam();
  ReaderOnFile reader(Write(JoinLines(c.lines, "\n")));
  ASSERT_TRUE(reader.open());
  bool complete = false;
  const std::vector<Bytes> packets = reader.Walk(&complete);
  EXPECT_TRUE(complete);
  ASSERT_EQ(packets.size(), c.packets.size());
  for (std::size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(HexBytes(packets[i]), HexBytes(c.packets[i])) << "packet " << i;
  }
}

const Bytes kFour = Counting(4);
const Bytes kFour2 = Counting(4, 0x11);
const Bytes kSixteen = Counting(16);

INSTANTIATE_TEST_SUITE_P(
    Cases, Merging,
    ::testing::Values(
        MergeCase{"contiguous_pair_merges",
                  {kHeader, S2(0x1000, kFour), S2(0x1001, kFour2), kS8},
                  {kHeaderPacket, Frame(2, Join(S2Body(0x1000, kFour), kFour2)), kS8Packet}},
        MergeCase{"byte_step_is_a_gap",
                  {kHeader, S2(0x1000, kFour), S2(0x1004, kFour2), kS8},
                  {kHeaderPacket, Frame(2, S2Body(0x1000, kFour)), Frame(2, S2Body(0x1004, kFour2)),
                   kS8Packet}},
        MergeCase{"four_merge_and_the_fifth_starts_anew",
                  {kHeader, S2(0x0, kSixteen), S2(0x4, kSixteen), S2(0x8, kSixteen),
                   S2(0xC, kSixteen), S2(0x10, kFour), kS8},
                  {kHeaderPacket,
                   Frame(2, Join(Join(Join(S2Body(0x0, kSixteen), kSixteen), kSixteen), kSixteen)),
                   Frame(2, S2Body(0x10, kFour)), kS8Packet}},
        MergeCase{"three_data_bytes_keep_the_address",
                  {kHeader, S2(0x2000, Counting(3)), S2(0x2000, Counting(3, 9)), kS8},
                  {kHeaderPacket, Frame(2, Join(S2Body(0x2000, Counting(3)), Counting(3, 9))),
                   kS8Packet}},
        MergeCase{"three_data_bytes_then_next_word",
                  {kHeader, S2(0x2000, Counting(3)), S2(0x2001, Counting(3, 9)), kS8},
                  {kHeaderPacket, Frame(2, S2Body(0x2000, Counting(3))),
                   Frame(2, S2Body(0x2001, Counting(3, 9))), kS8Packet}},
        MergeCase{"s1_records_never_merge",
                  {kHeader, Record('1', Join({0x10, 0x00}, kFour)),
                   Record('1', Join({0x10, 0x01}, kFour2)), Record('9', {0x00, 0x00})},
                  {kHeaderPacket, Frame(1, Join({0x10, 0x00}, kFour)),
                   Frame(1, Join({0x10, 0x01}, kFour2)), Frame(9, {0x00, 0x00})}},
        MergeCase{"s3_records_never_merge",
                  {kHeader, Record('3', Join({0, 0, 0x10, 0x00}, kFour)),
                   Record('3', Join({0, 0, 0x10, 0x01}, kFour2)), kS8},
                  {kHeaderPacket, Frame(3, Join({0, 0, 0x10, 0x00}, kFour)),
                   Frame(3, Join({0, 0, 0x10, 0x01}, kFour2)), kS8Packet}},
        MergeCase{"first_record_may_be_s2",
                  {S2(0x0, kFour), S2(0x1, kFour2), kS8},
                  {Frame(2, Join(S2Body(0x0, kFour), kFour2)), kS8Packet}},
        MergeCase{"wrong_record_checksum_still_gives_a_sound_packet",
                  {kHeader, Record('2', Join({0x00, 0x10, 0x00}, kFour), 0x00), kS8},
                  {kHeaderPacket, Frame(2, S2Body(0x1000, kFour)), kS8Packet}},
        MergeCase{"s5_ends_before_the_s8",
                  {kHeader, S2(0x0, kFour), Record('5', {0x00, 0x01}), "never read"},
                  {kHeaderPacket, Frame(2, S2Body(0x0, kFour)), Frame(5, {0x00, 0x01})}}),
    [](const ::testing::TestParamInfo<MergeCase>& param) { return std::string(param.param.name); });

TEST_F(Reader, FifthContiguousRecordIsReadByTheNextCall) {
  std::string text;
  for (uint32_t word = 0; word < 5 * 4; word += 4) text += S2(word, kSixteen) + "\n";
  ReaderOnFile reader(Write(text + kS8 + "\n"));
  FlashState& s = reader.state;
  ASSERT_EQ(AssemblePacket(s, s.currentPacket), 1);
  EXPECT_EQ(PacketLength(s.currentPacket), 68);
  EXPECT_EQ(s.recordsRead, 4);
  EXPECT_FALSE(s.linePending);
}

TEST_F(Reader, EmptyLineIsCountedAndRefused) {
  ReaderOnFile reader(Write("\n" + kS8 + "\n"));
  FlashState& s = reader.state;
  EXPECT_EQ(AssemblePacket(s, s.currentPacket), 0);
  EXPECT_EQ(s.recordsRead, 1);
  EXPECT_EQ(s.bytesRead, 1);  // the file bytes consumed: its line feed
  EXPECT_FALSE(s.linePending);
}

TEST_F(Reader, LastLineWithoutLineFeedIsALine) {
  const std::string path = Write(S2(0x0, kFour) + "\n" + kS8);
  ReaderOnFile reader(path);
  bool complete = false;
  const std::vector<Bytes> packets = reader.Walk(&complete);
  EXPECT_TRUE(complete);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[1], kS8Packet);
  EXPECT_EQ(static_cast<int64_t>(reader.state.bytesRead), std::filesystem::file_size(path));
}

TEST_F(Reader, EndOfFileGivesNoPacketAndNoLine) {
  ReaderOnFile reader(Write(kHeader + "\n"));
  FlashState& s = reader.state;
  ASSERT_EQ(AssemblePacket(s, s.currentPacket), 1);
  EXPECT_EQ(AssembleNextPacket(s, s.nextPacket), AssembleStatus::kEndOfFile);
  EXPECT_EQ(AssemblePacket(s, s.nextPacket), 0);
  EXPECT_EQ(s.recordsRead, 1);
}

struct LineCase {
  const char* name;
  std::string file;
  std::vector<std::string> lines;  // what each ReadLine stores, the last at end of file
  std::vector<int32_t> consumed;
};

class ReadingLines : public Reader, public ::testing::WithParamInterface<LineCase> {};

TEST_P(ReadingLines, StoresTheTextAndCountsTheFileBytes) {
  const LineCase& c = GetParam();
  ReaderOnFile reader(Write(c.file));
  char line[kBufferSize];
  for (std::size_t i = 0; i < c.lines.size(); ++i) {
    LineInfo info;
    EXPECT_EQ(ReadLine(reader.state, line, &info), c.consumed[i]) << "line " << i;
    EXPECT_EQ(std::string(line), c.lines[i]) << "line " << i;
    // Only a cut line comes without its line feed.
    EXPECT_EQ(info.tooLong, !c.lines[i].empty() && c.lines[i].back() != '\n') << "line " << i;
  }
}

const std::string k159(159, 'A');
const std::string k160(160, 'B');

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadingLines,
    ::testing::Values(
        LineCase{"only_the_cr_of_a_pair_is_dropped", "AB\r\nC\rD\n\r\r\nE\r",
                 {"AB\n", "C\rD\n", "\r\n", "E\r\n", ""}, {4, 4, 3, 2, 0}},
        LineCase{"159_characters_and_cr_lf", k159 + "\r\nS1\n", {k159 + "\n", "S1\n", ""},
                 {161, 3, 0}},
        LineCase{"159_characters_and_lf", k159 + "\nS1\n", {k159 + "\n", "S1\n", ""}, {160, 3, 0}},
        LineCase{"160_characters_are_cut", k160 + "\r\nS1\n", {k160.substr(1), "S1\n", ""},
                 {162, 3, 0}},
        LineCase{"300_characters_are_cut", std::string(300, 'C') + "\nS1\n",
                 {std::string(159, 'C'), "S1\n", ""}, {301, 3, 0}},
        LineCase{"160_characters_at_the_end", k160, {k160.substr(1), ""}, {160, 0}},
        LineCase{"zero_padding_after_the_last_line", std::string("S1\n\0\0\0", 6), {"S1\n", ""},
                 {3, 0}}),
    [](const ::testing::TestParamInfo<LineCase>& param) { return std::string(param.param.name); });

// Every fixture made by srec_cat, walked in the driver's order.
struct FixtureCase {
  const char* file;
  std::size_t packets;
  int terminator;     // type of the last packet; -1 when the walk must fail
  int longest;        // largest packet length byte
  bool allLinesRead;  // false when an S5 leaves the S8 behind it unread
};

class Fixtures : public ::testing::TestWithParam<FixtureCase> {};

// The data bytes of the S2 records of a file, in file order, parsed here
// from the text on their own.
Bytes S2DataOfFile(const std::string& path, int* lines) {
  std::ifstream in(path, std::ios::binary);
  Bytes data;
  std::string line;
  *lines = 0;
  while (std::getline(in, line)) {
    ++*lines;
    if (line.rfind("S2", 0) != 0) continue;
    const int count = std::stoi(line.substr(2, 2), nullptr, 16);
    for (int i = 0; i < count - 4; ++i) {
      data.push_back(static_cast<uint8_t>(std::stoi(line.substr(10 + 2 * i, 2), nullptr, 16)));
    }
  }
  return data;
}

TEST_P(Fixtures, PacketsCarryTheFileAndTheCountersEndAtItsSize) {
  const FixtureCase& c = GetParam();
  const std::string path = std::string(TALVORN_TEST_DATA) + "/" + c.file;
  ReaderOnFile reader(path);
  ASSERT_TRUE(reader.open()) << path;
  bool complete = false;
  const std::vector<Bytes> packets = reader.Walk(&complete);

  EXPECT_EQ(packets.size(), c.packets);
  EXPECT_EQ(complete, c.terminator >= 0);
  ASSERT_FALSE(packets.empty());
  if (c.terminator >= 0) {
    EXPECT_EQ(packets.back()[1], c.terminator);
  }
  int longest = 0;
  Bytes carried;
  for (const Bytes& packet : packets) {
    longest = std::max(longest, static_cast<int>(packet[2]));
    EXPECT_EQ(packet, Frame(packet[1], Bytes(packet.begin() + 3, packet.end() - 1)));
    if (packet[1] == 2) carried.insert(carried.end(), packet.begin() + 6, packet.end() - 1);
  }
  EXPECT_EQ(longest, c.longest);

  int lines = 0;
  EXPECT_EQ(HexBytes(carried), HexBytes(S2DataOfFile(path, &lines)));
  if (c.allLinesRead) {
    EXPECT_EQ(reader.state.recordsRead, lines);
    EXPECT_EQ(static_cast<int64_t>(reader.state.bytesRead), std::filesystem::file_size(path));
  } else {
    EXPECT_EQ(reader.state.recordsRead, lines - 1);
  }
}

// 0x104 data bytes: 17 records of 16 bytes (the last holds 4) or 9 of 32.
INSTANTIATE_TEST_SUITE_P(
    SrecCat, Fixtures,
    ::testing::Values(FixtureCase{"words16_crlf.m0", 7, 8, 68, true},
                      FixtureCase{"words16_lf.m0", 7, 8, 68, true},
                      FixtureCase{"words32_crlf.m0", 5, 8, 132, true},
                      FixtureCase{"words32_lf.m0", 5, 8, 132, true},
                      FixtureCase{"count_s5_crlf.m0", 7, 5, 68, false},
                      FixtureCase{"bytes16_lf.m0", 19, 8, 20, true},
                      FixtureCase{"gap_lf.m0", 4, 8, 68, true},
                      FixtureCase{"s19_lf.m0", 19, 9, 19, true},
                      FixtureCase{"s37_crlf.m0", 19, -1, 21, true}),
    [](const ::testing::TestParamInfo<FixtureCase>& param) {
      std::string name = param.param.file;
      return name.substr(0, name.find('.'));
    });

}  // namespace
