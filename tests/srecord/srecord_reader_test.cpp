#include "srecord/srecord_reader.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>

#include "srecord_test_support.h"

namespace {

const std::string kS8 = Record('8', {0, 0, 0}), kS9 = Record('9', {0, 0});

TEST(Reader, WorkedExampleGivesItsFourPacketsInEitherCase) {
  std::string text = "S0030000FC\r\nS20800100001020304DD\r\nS20800100105060708CC\r\n"
                     "S2080010080A0B0C0DB1\r\nS804000000FB\r\n";
  const struct { const char* packet; int32_t recordsRead; bool pending; } steps[] = {
      {"7F0003" "0000" "FC", 1, false},
      {"7F020C" "001000" "0102030405060708" "BF", 4, true},
      {"7F0208" "001008" "0A0B0C0D" "B1", 5, true},
      {"7F0804" "000000" "FB", 5, false},
  };
  for (const bool lower : {false, true}) {
    for (char& c : text) c = lower && c != 'S' ? static_cast<char>(std::tolower(c)) : c;
    TempDir dir;
    StateOnFile s(dir.Write("in.m0", text));
    for (const auto& step : steps) {
      SCOPED_TRACE(std::string(step.packet) + (lower ? " from lower case" : ""));
      ASSERT_EQ(AssemblePacket(s, s.nextPacket), 1);
      EXPECT_EQ(HexBytes(Bytes(s.nextPacket, s.nextPacket + PacketWireSize(s.nextPacket))),
                step.packet);
      EXPECT_EQ(s.recordsRead, step.recordsRead);
      EXPECT_EQ(s.linePending, step.pending);
    }
    EXPECT_EQ(s.bytesRead, 92);
  }
}

TEST(Reader, HexDigitsOfEitherCase) {
  EXPECT_EQ(HexValue("9abcdef", 7), 0x9ABCDEF);
  EXPECT_EQ(HexValue("9ABCDEF", 7), 0x9ABCDEF);
}

// Merging word-addressed S2 records; the srec_cat fixtures show the same on
// whole files (byte addresses, gaps, S5 before S8).
TEST(Reader, MergesContiguousS2RecordsUpToFour) {
  const struct { const char* name; std::string text; std::vector<Bytes> packets; } cases[] = {
      {"contiguous_then_a_gap",
       Lines({S2(0x1000, Counting(4)), S2(0x1001, Counting(4, 5)), S2(0x1006, {9}), kS8}),
       {Frame(2, At(0x1000, Counting(8))), Frame(2, At(0x1006, {9})), Frame(8, {0, 0, 0})}},
      {"four_then_a_fifth", S2Run({16, 16, 16, 16, 4}) + kS8,
       {Frame(2, At(0, Counting(64))), Frame(2, At(16, Counting(4, 65))), Frame(8, {0, 0, 0})}},
      {"three_data_bytes_keep_the_address", S2Run({3, 3}) + kS8,
       {Frame(2, At(0, Counting(6))), Frame(8, {0, 0, 0})}},
      // Read as S2 records, each second record here would continue the run.
      {"s1_never_merge", Lines({Record('1', At(0, Counting(15))), Record('1', At(3, {7})), kS9}),
       {Frame(1, At(0, Counting(15))), Frame(1, At(3, {7})), Frame(9, {0, 0})}},
      {"s3_never_merge", Lines({Record('3', At(0, Counting(17, 0))), Record('3', At(4, {0})), kS8}),
       {Frame(3, At(0, Counting(17, 0))), Frame(3, At(4, {0})), Frame(8, {0, 0, 0})}},
  };
  for (const auto& c : cases) {
    TempDir dir;
    StateOnFile s(dir.Write("in.m0", c.text));
    bool complete = false;
    std::vector<std::string> got, expected;
    for (const Bytes& packet : Walk(s, &complete)) got.push_back(HexBytes(packet));
    for (const Bytes& packet : c.packets) expected.push_back(HexBytes(packet));
    EXPECT_TRUE(complete) << c.name;
    EXPECT_EQ(got, expected) << c.name;
  }
}

TEST(Reader, StopsReadingAtTheFourthMergedRecord) {
  TempDir dir;
  StateOnFile s(dir.Write("in.m0", S2Run({16, 16, 16, 16, 16})));
  ASSERT_EQ(AssemblePacket(s, s.currentPacket), 1);
  EXPECT_EQ(s.recordsRead, 4);
  EXPECT_FALSE(s.linePending);
}

// Hostile input: whatever the file holds, the reader stays inside lineBuffer
// and the packet buffers (ASan watches the edges of FlashState, the patterns
// the buffers next to nextPacket inside it) and answers with no packet.
TEST(Reader, RefusesHostileLinesWithoutLeavingTheBuffers) {
  using S = AssembleStatus;
  // packetsBefore: packets assembled before the refused one.
  const struct { const char* name; std::string text; bool pad; int packetsBefore; S status; }
  cases[] = {
      {"line_of_two_characters", "S2\n", false, 0, S::kBadCount},
      {"count_one_short_of_its_checksum", "S00300000\n", false, 0, S::kBadCount},
      {"s2_count_below_its_address", "S203001000FF\n", false, 0, S::kBadCount},
      {"high_bit_count", "S2\xFF\xFF" + std::string(40, '\xFF'), false, 0, S::kBadCount},
      {"line_of_300", "S2" + std::string(298, 'F'), false, 0, S::kLineTooLong},
      {"long_line_after_a_run", S2Run({16, 16}) + "S24D" + std::string(400, '0'), false, 0,
       S::kLineTooLong},
      {"zero_byte", std::string("S2080010") + '\0' + "001020304DD\n", false, 0, S::kLineTooLong},
      {"three_records_of_72", Lines({Record('0', {0, 0})}) + S2Run({72, 72, 72}), false, 1,
       S::kPacketTooLong},
      {"records_of_73_would_wrap_255", S2Run({73, 73, 73, 73}), false, 0, S::kPacketTooLong},
      {"length_157_with_the_pad", S2Run({73, 73, 7}), true, 0, S::kPacketTooLong},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    StateOnFile s(dir.Write("in.m0", c.text));
    s.padRecords = c.pad;
    std::memset(s.responseLine, 0xA5, sizeof s.responseLine);
    std::memset(s.currentPacket, 0x5A, sizeof s.currentPacket);
    s.packetsSent = 0x12345678;
    int packets = 0;
    AssembleStatus status;
    while ((status = AssembleNextPacket(s, s.nextPacket)) == S::kPacket && packets < 9) ++packets;
    EXPECT_EQ(packets, c.packetsBefore);
    EXPECT_EQ(static_cast<int>(status), static_cast<int>(c.status));
    EXPECT_EQ(std::string(s.responseLine, kBufferSize), std::string(kBufferSize, '\xA5'));
    EXPECT_EQ(Bytes(s.currentPacket, s.currentPacket + kBufferSize), Bytes(kBufferSize, 0x5A));
    EXPECT_EQ(s.packetsSent, 0x12345678);
  }
}

// The building blocks bound their own indices, so that even a line that
// AssemblePacket refuses cannot take them outside the buffers.
TEST(PacketParts, StayInsideTheBuffersWhateverTheCount) {
  auto line = std::make_unique<char[]>(kBufferSize);
  auto packet = std::make_unique<unsigned char[]>(kBufferSize);
  std::memset(line.get(), 'F', kBufferSize);  // no line feed, no terminating zero
  std::memcpy(line.get(), "S2FF", 4);
  StartPacket(line.get(), packet.get());
  EXPECT_EQ(PacketLength(packet.get()), 0xFF);
  packet[2] = 150;
  AppendRecord(line.get(), packet.get());
  EXPECT_EQ(PacketLength(packet.get()), (150 + 0xFF - 4) % 256);
  packet[2] = 0xFF;
  StoreChecksum(packet.get());
}

}  // namespace
