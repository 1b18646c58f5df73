// Hostile input: whatever the file holds, the reader stays inside lineBuffer
// and the packet buffers and answers with no packet. Run under ASan.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "srecord/srecord_reader.h"
#include "srecord_test_support.h"

namespace {

const std::string kHeader = Record('0', {0x00, 0x00});
const std::string kS8 = Record('8', {0x00, 0x00, 0x00});

std::string Run(uint32_t firstWord, const std::vector<int>& dataBytes) {
  std::string text;
  uint32_t word = firstWord;
  for (int n : dataBytes) {
    text += S2(word, Counting(n)) + "\n";
    word += static_cast<uint32_t>(n) >> 2;
  }
  return text;
}

struct HostileCase {
  const char* name;
  std::string text;
  bool pad;
  int packetsBefore;  // packets assembled before the refused one
  AssembleStatus status;
};

class Hostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, RefusedWithoutLeavingTheBuffers) {
  const HostileCase& c = GetParam();
  TempDir dir;
  ReaderOnFile reader(dir.Write("in.m0", c.text));
  FlashState& s = reader.state;
  s.padRecords = c.pad;
  // The packets go to nextPacket; its neighbours must keep their pattern.
  std::memset(s.responseLine, 0xA5, sizeof s.responseLine);
  std::memset(s.currentPacket, 0x5A, sizeof s.currentPacket);
  s.packetsSent = 0x12345678;

  int packets = 0;
  AssembleStatus status = AssembleStatus::kPacket;
  while (packets < 10 && (status = AssembleNextPacket(s, s.nextPacket)) == AssembleStatus::kPacket) {
    EXPECT_LE(PacketLength(s.nextPacket), PacketLengthLimit(c.pad));
    ++packets;
  }
  EXPECT_EQ(packets, c.packetsBefore);
  EXPECT_EQ(static_cast<int>(status), static_cast<int>(c.status));
  for (int i = 0; i < kBufferSize; ++i) {
    ASSERT_EQ(static_cast<unsigned char>(s.responseLine[i]), 0xA5) << i;
    ASSERT_EQ(s.currentPacket[i], 0x5A) << i;
  }
  EXPECT_EQ(s.packetsSent, 0x12345678);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Hostile,
    ::testing::Values(
        HostileCase{"empty_file", "", false, 0, AssembleStatus::kEndOfFile},
        HostileCase{"not_a_record", "X21400\n", false, 0, AssembleStatus::kNotRecord},
        HostileCase{"line_of_two_characters", "S2\n", false, 0, AssembleStatus::kBadCount},
        HostileCase{"count_beyond_line", kHeader + "\nS2FF001000\n", false, 1,
                    AssembleStatus::kBadCount},
        HostileCase{"count_one_short_of_its_checksum", "S00300000\n", false, 0,
                    AssembleStatus::kBadCount},
        HostileCase{"count_zero", "S200\n", false, 0, AssembleStatus::kBadCount},
        HostileCase{"s2_count_below_its_address", "S203001000FF\n", false, 0,
                    AssembleStatus::kBadCount},
        HostileCase{"s3_count_below_its_address", "S30400001000EB\n", false, 0,
                    AssembleStatus::kBadCount},
        HostileCase{"high_bit_count", "S2\xFF\xFF" + std::string(40, '\xFF') + "\n", false, 0,
                    AssembleStatus::kBadCount},
        HostileCase{"line_of_300_characters", "S2" + std::string(298, 'F') + "\n" + kS8 + "\n",
                    false, 0, AssembleStatus::kLineTooLong},
        HostileCase{"long_line_after_a_run", Run(0, {16, 16}) + "S24D" + std::string(400, '0') + "\n",
                    false, 0, AssembleStatus::kLineTooLong},
        HostileCase{"zero_byte", std::string("S2080010\0" "001020304DD\n", 21), false, 0,
                    AssembleStatus::kLineTooLong},
        HostileCase{"three_records_of_72_pass_158", kHeader + "\n" + Run(0, {72, 72, 72}), false, 1,
                    AssembleStatus::kPacketTooLong},
        HostileCase{"records_of_73_stop_at_158_before_255", Run(0, {73, 73, 73, 73}), false, 0,
                    AssembleStatus::kPacketTooLong},
        HostileCase{"length_157_with_the_pad", Run(0, {73, 73, 7}) + kS8 + "\n", true, 0,
                    AssembleStatus::kPacketTooLong},
        HostileCase{"length_157_without_the_pad", Run(0, {73, 73, 7}) + kS8 + "\n", false, 2,
                    AssembleStatus::kEndOfFile},
        HostileCase{"length_158_without_the_pad", Run(0, {73, 73, 8}) + kS8 + "\n", false, 2,
                    AssembleStatus::kEndOfFile}),
    [](const ::testing::TestParamInfo<HostileCase>& param) { return std::string(param.param.name); });

// The building blocks bound their own indices, so that even a line that
// AssemblePacket would refuse cannot take them outside the buffers.
TEST(PacketParts, StayInsideTheBuffersWhateverTheCount) {
  auto line = std::make_unique<char[]>(kBufferSize);
  auto packet = std::make_unique<unsigned char[]>(kBufferSize);
  std::memset(line.get(), 'F', kBufferSize);  // no line feed, no terminating zero
  std::memcpy(line.get(), "S2FF", 4);

  StartPacket(line.get(), packet.get());
  EXPECT_EQ(PacketType(packet.get()), 2);
  EXPECT_EQ(PacketLength(packet.get()), 0xFF);
  EXPECT_EQ(packet[kBufferSize - 1 - 80], 0xFF);  // body bytes decoded from "FF"

  packet[2] = 150;
  AppendRecord(line.get(), packet.get());
  EXPECT_EQ(PacketLength(packet.get()), (150 + 0xFF - 4) % 256);

  packet[2] = 0xFF;
  StoreChecksum(packet.get());
  packet[2] = 0;
  StoreChecksum(packet.get());
  EXPECT_EQ(packet[2], 0xFF);  // length 0: the checksum lands on the length byte itself
}

}  // namespace
