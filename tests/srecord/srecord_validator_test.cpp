#include "srecord/srecord_validator.h"

#include <gtest/gtest.h>

#include "srecord_test_support.h"

namespace {

const std::string kHeader = Record('0', {0x00, 0x00});
const std::string kData = S2(0x1000, Counting(16));
const std::string kS8 = Record('8', {0x00, 0x00, 0x00});

// A file whose line 3 is `bad`, between sound records.
std::string WithLine3(const std::string& bad) {
  return JoinLines({kHeader, kData, bad, kS8}, "\r\n");
}

std::string S2Run(const std::vector<int>& dataBytes) {
  std::string text;
  uint32_t word = 0;
  for (int n : dataBytes) {
    text += S2(word, Counting(n)) + "\n";
    word += static_cast<uint32_t>(n) >> 2;
  }
  return text;
}

struct RejectCase {
  const char* name;
  std::string text;
  bool pad;
  int32_t line;
  const char* problem;  // the whole problem text
};

class Rejected : public ::testing::TestWithParam<RejectCase> {};

TEST_P(Rejected, AtTheLineOfTheProblem) {
  const RejectCase& c = GetParam();
  TempDir dir;
  const ValidationResult result = ValidateFile(dir.Write("fw.m0", c.text), c.pad);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.line, c.line);
  EXPECT_EQ(result.problem, c.problem);
}

// Line 3 of these files starts from a sound record: S2 at 0x1004 with the
// data bytes 1 to 16 and checksum 4F.
const std::string kLine3 = S2(0x1004, Counting(16));

INSTANTIATE_TEST_SUITE_P(
    Cases, Rejected,
    ::testing::Values(
        RejectCase{"not_beginning_with_s", WithLine3("X" + kLine3.substr(1)), false, 3,
                   "line does not begin with \"S\""},
        RejectCase{"lower_case_s", WithLine3("s" + kLine3.substr(1)), false, 3,
                   "line does not begin with \"S\""},
        RejectCase{"leading_blank", WithLine3(" " + kLine3), false, 3,
                   "line does not begin with \"S\""},
        RejectCase{"empty_line", WithLine3(""), false, 3, "empty line where a record should be"},
        RejectCase{"type_letter", WithLine3("SA" + kLine3.substr(2)), false, 3,
                   "record type \"A\" is not 0 to 9"},
        RejectCase{"type_missing", WithLine3("S"), false, 3, "record type is missing"},
        RejectCase{"count_missing", WithLine3("S21"), false, 3, "record count is missing"},
        RejectCase{"count_not_hex", WithLine3("S2G4" + kLine3.substr(4)), false, 3,
                   "character \"G\" at column 3 is not a hex digit"},
        RejectCase{"address_not_hex", WithLine3(kLine3.substr(0, 6) + "x" + kLine3.substr(7)),
                   false, 3, "character \"x\" at column 7 is not a hex digit"},
        RejectCase{"data_not_hex", WithLine3(kLine3.substr(0, 21) + "\t" + kLine3.substr(22)),
                   false, 3, "character 0x09 at column 22 is not a hex digit"},
        RejectCase{"checksum_not_hex", WithLine3(kLine3.substr(0, 42) + "Z" + kLine3.substr(43)),
                   false, 3, "character \"Z\" at column 43 is not a hex digit"},
        RejectCase{"count_beyond_the_line", WithLine3(kLine3.substr(0, 40)), false, 3,
                   "count 14 claims 40 characters after it, the line holds 36"},
        RejectCase{"text_after_the_checksum", WithLine3(kLine3 + " ;x"), false, 3,
                   "unexpected \";\" at column 46 after the checksum"},
        RejectCase{"stray_carriage_return", WithLine3(kLine3 + "\r"), false, 3,
                   "unexpected 0x0D at column 45 after the checksum"},
        RejectCase{"s1_count_below_address", WithLine3(Record('1', {0x10})), false, 3,
                   "count 02 is too small for an S1 record (at least 03)"},
        RejectCase{"s2_count_below_address", WithLine3(Record('2', {0x00, 0x10})), false, 3,
                   "count 03 is too small for an S2 record (at least 04)"},
        RejectCase{"s7_count_below_address", WithLine3(Record('7', {0, 0, 0})), false, 3,
                   "count 04 is too small for an S7 record (at least 05)"},
        RejectCase{"wrong_record_checksum", WithLine3(kLine3.substr(0, 42) + "1F"), false, 3,
                   "record checksum is 1F, expected 4F"},
        RejectCase{"wrong_checksum_on_the_header", JoinLines({"S0030000FD", kData, kS8}, "\n"),
                   false, 1, "record checksum is FD, expected FC"},
        RejectCase{"line_of_160_characters", WithLine3("S2" + std::string(158, '0')), false, 3,
                   "line is longer than 159 characters"},
        RejectCase{"zero_byte", WithLine3(kLine3.substr(0, 10) + std::string(1, '\0') +
                                          kLine3.substr(11)),
                   false, 3, "line holds a zero byte"},
        RejectCase{"merge_beyond_158", kHeader + "\n" + S2Run({72, 72, 72}) + kS8 + "\n", false,
                   4, "merging this record makes a packet of length 220, above 158"},
        RejectCase{"merge_beyond_155_with_the_pad", S2Run({73, 73, 7}) + kS8 + "\n", true, 3,
                   "merging this record makes a packet of length 157, above 155 (with the pad "
                   "bytes)"},
        RejectCase{"no_terminator", JoinLines({kHeader, kData}, "\n"), false, 2,
                   "the file ends after this line without an S5, S8 or S9 record"},
        RejectCase{"s7_is_no_terminator", JoinLines({kHeader, kData, "S70500000000FA"}, "\n"),
                   false, 3, "the file ends after this line without an S5, S8 or S9 record"},
        RejectCase{"first_packet_is_never_the_terminator", kS8 + "\n", false, 1,
                   "the file ends after this line without an S5, S8 or S9 record"},
        RejectCase{"empty_file", "", false, 0, "the file holds no records"}),
    [](const ::testing::TestParamInfo<RejectCase>& param) { return std::string(param.param.name); });

struct AcceptCase {
  const char* name;
  std::string text;
  bool pad;
};

class Accepted : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(Accepted, PassesWithoutAProblem) {
  const AcceptCase& c = GetParam();
  TempDir dir;
  const ValidationResult result = ValidateFile(dir.Write("fw.m0", c.text), c.pad);
  EXPECT_TRUE(result.ok) << result.line << ": " << result.problem;
  EXPECT_EQ(result.line, 0);
  EXPECT_EQ(result.problem, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Accepted,
    ::testing::Values(
        AcceptCase{"lower_case_digits", "S0030000fc\nS20800100001020304dd\nS804000000fb\n", false},
        AcceptCase{"blanks_after_the_checksum", kHeader + " \t \n" + kData + "  \n" + kS8 + "\n",
                   false},
        AcceptCase{"last_line_without_line_feed", kHeader + "\n" + kData + "\n" + kS8, false},
        AcceptCase{"nothing_read_after_the_s5", kHeader + "\n" + kData + "\nS5030001FB\n??\n",
                   false},
        AcceptCase{"length_157_without_the_pad", S2Run({73, 73, 7}) + kS8 + "\n", false},
        AcceptCase{"length_155_with_the_pad", S2Run({73, 73, 5}) + kS8 + "\n", true}),
    [](const ::testing::TestParamInfo<AcceptCase>& param) { return std::string(param.param.name); });

class FixtureFiles : public ::testing::TestWithParam<const char*> {};

TEST_P(FixtureFiles, PassWithAndWithoutThePad) {
  const std::string path = std::string(TALVORN_TEST_DATA) + "/" + GetParam();
  for (bool pad : {false, true}) {
    const ValidationResult result = ValidateFile(path, pad);
    EXPECT_TRUE(result.ok) << ValidationMessage(path, result);
  }
}

INSTANTIATE_TEST_SUITE_P(SrecCat, FixtureFiles,
                         ::testing::Values("words16_crlf.m0", "words16_lf.m0", "words32_crlf.m0",
                                           "words32_lf.m0", "count_s5_crlf.m0", "bytes16_lf.m0",
                                           "gap_lf.m0", "s19_lf.m0"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           std::string name = param.param;
                           return name.substr(0, name.find('.'));
                         });

TEST(ValidateFile, NamesTheFixturesThatCannotBeSent) {
  const std::string data = TALVORN_TEST_DATA;
  const ValidationResult s37 = ValidateFile(data + "/s37_crlf.m0", false);
  EXPECT_FALSE(s37.ok);
  EXPECT_EQ(s37.line, 19);
  const ValidationResult obs72 = ValidateFile(data + "/obs72_lf.m0", false);
  EXPECT_FALSE(obs72.ok);
  EXPECT_EQ(obs72.line, 4);
}

TEST(ValidateFile, MissingFileIsAFailureWithAMessage) {
  TempDir dir;
  const ValidationResult result = ValidateFile(dir.Path("absent.m0"), false);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.line, 0);
  EXPECT_NE(result.problem.find("cannot open the file"), std::string::npos) << result.problem;
}

TEST(ValidationMessage, NamesFileLineAndProblem) {
  ValidationResult result;
  result.line = 17;
  result.problem = "record checksum is 3C, expected 3D";
  EXPECT_EQ(ValidationMessage("fw.m0", result),
            "*** - Error, \"fw.m0\" line 17: record checksum is 3C, expected 3D");
  result.line = 0;
  result.problem = "the file holds no records";
  EXPECT_EQ(ValidationMessage("fw.m0", result),
            "*** - Error, \"fw.m0\": the file holds no records");
  result.ok = true;
  EXPECT_EQ(ValidationMessage("fw.m0", result), "");
}

}  // namespace
