#include "srecord/srecord_validator.h"

#include <gtest/gtest.h>

#include "srecord_test_support.h"

namespace {

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
      {"count_missing", line3("S21"), 3, "record count is missing"},
      {"count_not_hex", line3("S2G4" + good.substr(4)), 3, notHex("\"G\"", 3)},
      {"count_beyond_the_line", line3(good.substr(0, 40)), 3,
       "count 14 claims 40 characters after it, the line holds 36"},
      {"count_too_small", line3(Record('7', {0, 0, 0})), 3,
       "count 04 is too small for an S7 record (at least 05)"},
      {"address_not_hex", line3(good.substr(0, 6) + "x" + good.substr(7)), 3, notHex("\"x\"", 7)},
      {"data_not_hex", line3(good.substr(0, 21) + "\t" + good.substr(22)), 3, notHex("0x09", 22)},
      {"checksum_not_hex", line3(good.substr(0, 42) + "Z" + good.substr(43)), 3,
       notHex("\"Z\"", 43)},
      {"checksum_low_not_hex", line3(good.substr(0, 43) + "g"), 3, notHex("\"g\"", 44)},
      {"cr_after_the_checksum", line3(good + "\t\r"), 3,
       "unexpected 0x0D at column 46 after the checksum"},
      {"wrong_checksum", line3(good.substr(0, 42) + "1f"), 3, "record checksum is 1F, expected 4F"},
      {"merge_beyond_158", S2Run({73, 73, 9}) + s8, 3, merging + "159, above 158"},
      {"merge_beyond_155_with_the_pad", S2Run({73, 73, 6}) + s8, 3,
       merging + "156, above 155 (with the pad bytes)", true},
      {"first_packet_is_never_the_terminator", s8, 1,
       "the file ends after this line without an S5, S8 or S9 record"},
      {"empty_file", "", 0, "the file holds no records"},
      // Sound files: no line, no problem.
      {"lower_case_digits", "S0030000fc\nS20800100001020304dd\nS804000000fb\n", 0, ""},
      {"blanks_after_the_checksum", Lines({header + " \t ", good + "  ", s8}), 0, ""},
      {"longest_line_and_cr_lf", line3(S2(0, Counting(73)) + " "), 0, ""},
      {"nothing_read_after_the_s5", Lines({header, good, "S5030001FB", "??"}), 0, ""},
      {"length_158_without_the_pad", S2Run({73, 73, 8}) + s8, 0, ""},
      {"length_155_with_the_pad", S2Run({73, 73, 5}) + s8, 0, "", true},
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
