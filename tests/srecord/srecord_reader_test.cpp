#include "srecord/srecord_reader.h"

#include <gtest/gtest.h>

#include "srecord_test_support.h"

namespace {

const std::string kS8 = Record('8', {0, 0, 0}), kS9 = Record('9', {0, 0});

// Packets in the driver's order: the first, then look-ahead packets until a
// terminator (type 5, 8 or 9). Contiguous word-addressed S2 records merge, up
// to four, and the fourth ends the packet without a look at the next line.
// The srec_cat fixtures show the same on whole files end to end.
TEST(Reader, MergesContiguousS2RecordsUpToFour) {
  const struct {
    const char* name;
    std::string text;
    std::vector<Bytes> packets;
    int32_t recordsInFirst;  // records read for the first packet
  } cases[] = {
      {"worked_example", "S0030000FC\r\nS20800100001020304DD\r\nS20800100105060708CC\r\n"
                         "S2080010080A0B0C0DB1\r\nS804000000FB\r\n",
       {Frame(0, {0, 0}), Frame(2, At(0x1000, Counting(8))), Frame(2, At(0x1008, Counting(4, 10))),
        Frame(8, {0, 0, 0})}, 1},
      {"contiguous_then_a_gap",
       Lines({S2(0x1000, Counting(4)), S2(0x1001, Counting(4, 5)), S2(0x1006, {9}), kS8}),
       {Frame(2, At(0x1000, Counting(8))), Frame(2, At(0x1006, {9})), Frame(8, {0, 0, 0})}, 3},
      {"four_then_a_fifth", S2Run({16, 16, 16, 16, 4}) + kS8,
       {Frame(2, At(0, Counting(64))), Frame(2, At(16, Counting(4, 65))), Frame(8, {0, 0, 0})}, 4},
      {"three_data_bytes_keep_the_address", S2Run({3, 3}) + kS8,
       {Frame(2, At(0, Counting(6))), Frame(8, {0, 0, 0})}, 3},
      // Read as S2 records, each second record here would continue the run.
      {"s1_never_merge", Lines({Record('1', At(0, Counting(15))), Record('1', At(3, {7})), kS9}),
       {Frame(1, At(0, Counting(15))), Frame(1, At(3, {7})), Frame(9, {0, 0})}, 1},
      {"s3_never_merge", Lines({Record('3', At(0, Counting(17, 0))), Record('3', At(4, {0})), kS8}),
       {Frame(3, At(0, Counting(17, 0))), Frame(3, At(4, {0})), Frame(8, {0, 0, 0})}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ReaderOnFile reader(dir.Write("in.m0", c.text));
    std::vector<std::string> got, expected;
    unsigned char packet[kBufferSize];
    while (AssemblePacket(reader, packet) == AssembleStatus::kPacket) {
      got.push_back(HexBytes(Bytes(packet, packet + PacketWireSize(packet))));
      if (got.size() == 1) {
        EXPECT_EQ(reader.recordsRead, c.recordsInFirst);
      }
      if (got.size() > 1 && IsTerminator(packet)) break;
    }
    for (const Bytes& frame : c.packets) expected.push_back(HexBytes(frame));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(reader.bytesRead, static_cast<int32_t>(c.text.size()));
  }
}

}  // namespace
