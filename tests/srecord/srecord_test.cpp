// The reader's packet assembly and the whole-file check, on files built from
// record lines and expected frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "srecord/srecord_reader.h"
#include "srecord/srecord_validator.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string HexBytes(const Bytes& bytes) {
  std::string text;
  char pair[4];
  for (uint8_t byte : bytes) text.append(pair, std::snprintf(pair, sizeof pair, "%02X", byte));
  return text;
}

// Count byte, fields and checksum, alike in a record and a frame.
Bytes Counted(const Bytes& fields) {
  Bytes counted = {static_cast<uint8_t>(fields.size() + 1)};
  unsigned sum = counted[0];
  for (uint8_t byte : fields) {
    counted.push_back(byte);
    sum += byte;
  }
  counted.push_back(static_cast<uint8_t>(0xFFu - (sum & 0xFFu)));
  return counted;
}

// An S-record line (no line end) of this type carrying address and data.
std::string Record(char type, const Bytes& fields) {
  return std::string("S") + type + HexBytes(Counted(fields));
}

// The frame a packet of this type and body must be.
Bytes Frame(uint8_t type, const Bytes& body) {
  Bytes frame = Counted(body);
  frame.insert(frame.begin(), {0x7F, type});
  return frame;
}

// A 24-bit address followed by data: the fields of an S2 record.
Bytes At(uint32_t address, Bytes data) {
  data.insert(data.begin(), {static_cast<uint8_t>(address >> 16),
                             static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)});
  return data;
}
std::string S2(uint32_t address, const Bytes& data) { return Record('2', At(address, data)); }

// n data bytes: first, first + 1, ...
Bytes Counting(int n, int first = 1) {
  Bytes data;
  for (int i = 0; i < n; ++i) data.push_back(static_cast<uint8_t>(first + i));
  return data;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// Lines of S2 records of these sizes from word 0, each continuing the run of
// the one before; the data bytes count on from 1 across the records.
std::string S2Run(const std::vector<int>& sizes) {
  std::string text;
  uint32_t word = 0;
  int carried = 0;
  for (int n : sizes) {
    text += S2(word, Counting(n, 1 + carried)) + "\n";
    word += static_cast<uint32_t>(n) >> 2;
    carried += n;
  }
  return text;
}

// A reader on one file, opened in binary mode as the loader does.
struct ReaderOnFile : SRecordReader {
  explicit ReaderOnFile(const std::string& path, bool pad = false) {
    file.reset(std::fopen(path.c_str(), "rb"));
    padded = pad;
  }
};

const std::string kS8 = Record('8', {0, 0, 0}), kS9 = Record('9', {0, 0});

// Packets in the driver's order, up to a terminator. Contiguous word-addressed
// S2 records merge, up to four; the fourth ends the packet without a look ahead.
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
      // A record of part of a word ends its run: what follows it goes alone.
      {"part_words_end_the_run", S2Run({4, 6, 3, 3}) + kS8,
       {Frame(2, At(0, Counting(10))), Frame(2, At(2, Counting(3, 11))),
        Frame(2, At(2, Counting(3, 14))), Frame(8, {0, 0, 0})}, 2},
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
    // A rewind after the first packet, whose look-ahead record may be held
    // back for the next one, starts the file over.
    ASSERT_EQ(AssemblePacket(reader, packet), AssembleStatus::kPacket);
    ASSERT_TRUE(RewindReader(reader));
    while (AssemblePacket(reader, packet) == AssembleStatus::kPacket) {
      got.push_back(HexBytes(Bytes(packet, packet + PacketWireSize(packet))));
      EXPECT_TRUE(got.size() > 1 || reader.recordsRead == c.recordsInFirst) << reader.recordsRead;
      if (got.size() > 1 && IsTerminator(packet)) break;
    }
    for (const Bytes& frame : c.packets) expected.push_back(HexBytes(frame));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(reader.bytesRead, static_cast<int32_t>(c.text.size()));
  }
}

TEST(ValidateFile, NamesTheFirstProblemAndItsLine) {
  const std::string header = Record('0', {0, 0}), s8 = Record('8', {0, 0, 0});
  const std::string good = S2(0x1004, Counting(16));  // checksum 4F
  const auto line3 = [&](const std::string& line) {   // a CR LF file, `line` its third
    return header + "\r\n" + S2(0x1000, Counting(16)) + "\r\n" + line + "\r\n" + s8 + "\r\n";
  };
  const auto notHex = [](const char* shown, int column) {
    return std::string("character ") + shown + " at column " + std::to_string(column) +
           " is not a hex digit";
  };
  const std::string merging = "merging this record makes a packet of length ";
  const struct {
    const char* name;
    std::string text;
    int32_t line;  // of the problem; 0 when none or when no one line is at fault
    std::string problem;
    bool pad = false;
  } cases[] = {
      {"line_of_160", line3("S2" + std::string(158, '0')), 3, "line is longer than 159 characters"},
      {"zero_byte", line3(std::string("S2\0", 3) + good.substr(3)), 3, "line holds a zero byte"},
      {"empty_line", line3(""), 3, "empty line where a record should be"},
      {"not_beginning_with_s", line3("s" + good.substr(1)), 3, "line does not begin with \"S\""},
      {"type_missing", line3("S"), 3, "record type is missing"},
      {"type_letter", line3("SA" + good.substr(2)), 3, "record type \"A\" is not 0 to 9"},
      {"count_missing", line3("S2"), 3, "record count is missing"},
      {"count_not_hex", line3("S2G4" + good.substr(4)), 3, notHex("\"G\"", 3)},
      {"count_beyond_the_line", line3(good.substr(0, 4)), 3,
       "count 14 claims 40 characters after it, the line holds 0"},
      {"count_too_small", line3(Record('7', {0, 0, 0})), 3,
       "count 04 is too small for an S7 record (at least 05)"},
      {"address_not_hex", line3(good.substr(0, 6) + "x" + good.substr(7)), 3, notHex("\"x\"", 7)},
      {"data_not_hex", line3(good.substr(0, 21) + "\t" + good.substr(22)), 3, notHex("0x09", 22)},
      {"checksum_not_hex", line3(good.substr(0, 42) + "Z" + good.substr(43)), 3,
       notHex("\"Z\"", 43)},
      {"cr_after_the_checksum", line3(good + "\t\r"), 3,
       "unexpected 0x0D at column 46 after the checksum"},
      // Only a CR with its LF ends a line: a lone CR at the file's end is text.
      {"cr_alone_ending_the_file", header + "\n" + good + "\n" + s8 + "\r", 3,
       "unexpected 0x0D at column 13 after the checksum"},
      {"wrong_checksum", line3(good.substr(0, 42) + "1f"), 3, "record checksum is 1F, expected 4F"},
      {"merge_beyond_158", S2Run({72, 72, 11}) + s8, 3, merging + "159, above 158"},
      {"merge_beyond_155_with_the_pad", S2Run({72, 72, 8}) + s8, 3,
       merging + "156, above 155 (with the pad bytes)", true},
      {"first_packet_is_never_the_terminator", s8, 1,
       "the file ends after this line without an S5, S8 or S9 record"},
      // Sound files: no line, no problem.
      {"lower_case_digits", "S0030000fc\nS2080010000a020304d4\nS804000000fb\n", 0, ""},
      {"blanks_after_the_checksum", Lines({header + " \t ", good + "  ", s8}), 0, ""},
      {"longest_line_and_cr_lf", line3(S2(0, Counting(73)) + " "), 0, ""},
      {"s5_blank_s9_zeros", Lines({header, good, "S5030001FB", " ", "S9030000FC"}) + std::string(9000, '\0'), 0, ""},
      {"unsound_s9_after_the_end", Lines({header, good, s8, "S9030000FD"}), 4,
       "record checksum is FD, expected FC"},
      {"length_158_without_the_pad", S2Run({72, 72, 10}) + s8, 0, ""},
      {"length_155_with_the_pad", S2Run({72, 72, 7}) + s8, 0, "", true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ReaderOnFile reader(dir.Write("fw.m0", c.text), c.pad);
    const ValidationResult result = ValidateFile(reader);
    EXPECT_EQ(result.ok, c.problem.empty()) << c.name;
    EXPECT_EQ(result.line, c.line) << c.name;
    EXPECT_EQ(result.problem, c.problem) << c.name;
  }
}

}  // namespace
