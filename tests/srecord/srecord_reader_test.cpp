#include "srecord/srecord_reader.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "srecord_test_support.h"

namespace {

// The driver's order: the first packet as data, then look-ahead packets until
// one of type 5, 8 or 9. `complete`: such a terminator ended the walk.
inline std::vector<Bytes> Walk(SRecordReader& reader, bool* complete) {
  std::vector<Bytes> packets;
  *complete = false;
  unsigned char packet[kBufferSize];
  while (!*complete && AssemblePacket(reader, packet) == AssembleStatus::kPacket) {
    packets.emplace_back(packet, packet + PacketWireSize(packet));
    *complete = packets.size() > 1 && IsTerminator(packet);
  }
  return packets;
}

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
    ReaderOnFile s(dir.Write("in.m0", text));
    unsigned char packet[kBufferSize];
    for (const auto& step : steps) {
      SCOPED_TRACE(std::string(step.packet) + (lower ? " from lower case" : ""));
      ASSERT_EQ(AssemblePacket(s, packet), AssembleStatus::kPacket);
      EXPECT_EQ(HexBytes(Bytes(packet, packet + PacketWireSize(packet))), step.packet);
      EXPECT_EQ(s.recordsRead, step.recordsRead);
      EXPECT_EQ(s.linePending, step.pending);
    }
    EXPECT_EQ(s.bytesRead, 92);
  }
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
    ReaderOnFile s(dir.Write("in.m0", c.text));
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
  ReaderOnFile s(dir.Write("in.m0", S2Run({16, 16, 16, 16, 16})));
  unsigned char packet[kBufferSize];
  ASSERT_EQ(AssemblePacket(s, packet), AssembleStatus::kPacket);
  EXPECT_EQ(s.recordsRead, 4);
  EXPECT_FALSE(s.linePending);
}

}  // namespace
