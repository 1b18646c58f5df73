#include "srecord/srecord_validator.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "run/flash_state.h"
#include "srecord/srecord_reader.h"

namespace {

// Value of each byte as a hex digit, -1 when it is none.
constexpr std::array<signed char, 256> MakeHexDigits() {
  std::array<signed char, 256> digits{};
  for (int c = 0; c < 256; ++c) {
    signed char value = -1;
    if (c >= '0' && c <= '9') value = static_cast<signed char>(c - '0');
    if (c >= 'A' && c <= 'F') value = static_cast<signed char>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') value = static_cast<signed char>(c - 'a' + 10);
    digits[static_cast<std::size_t>(c)] = value;
  }
  return digits;
}
constexpr std::array<signed char, 256> kHexDigits = MakeHexDigits();

int DigitValue(char c) { return kHexDigits[static_cast<unsigned char>(c)]; }

std::string Hex2(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

// A character as the messages show it: "G", or 0x07 when it does not print.
std::string Shown(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x21 && byte <= 0x7E) return std::string("\"") + c + "\"";
  return "0x" + Hex2(byte);
}

std::string NotHexAt(const char* line, int offset) {
  return "character " + Shown(line[offset]) + " at column " + std::to_string(offset + 1) +
         " is not a hex digit";
}

// The record checks, made on every line the dry run reads, before the
// assembly uses it.
class RecordChecker : public LineInspector {
 public:
  bool Inspect(const FlashState& state, const LineInfo& info) override {
    problem_ = Check(state.lineBuffer, info);
    return problem_.empty();
  }
  const std::string& problem() const { return problem_; }

 private:
  static std::string Check(const char* line, const LineInfo& info) {
    const int length = info.length;
    if (info.tooLong) return "line is longer than " + std::to_string(kMaxLineText) + " characters";
    if (info.zeroByte) return "line holds a zero byte";
    if (length == 0) return "empty line where a record should be";
    if (line[0] != 'S') return "line does not begin with \"S\"";
    if (length < 2) return "record type is missing";
    const char type = line[kTypeOffset];
    if (type < '0' || type > '9') return "record type " + Shown(type) + " is not 0 to 9";
    if (length < kAddressOffset) return "record count is missing";
    for (int i = kCountOffset; i < kAddressOffset; ++i) {
      if (DigitValue(line[i]) < 0) return NotHexAt(line, i);
    }
    const int count = DigitValue(line[kCountOffset]) * 16 + DigitValue(line[kCountOffset + 1]);
    const int recordEnd = kAddressOffset + 2 * count;
    if (recordEnd > length) {
      return "count " + Hex2(count) + " claims " + std::to_string(2 * count) +
             " characters after it, the line holds " + std::to_string(length - kAddressOffset);
    }
    const int minimum = MinimumRecordCount(type);
    if (count < minimum) {
      return "count " + Hex2(count) + " is too small for an S" + type + " record (at least " +
             Hex2(minimum) + ")";
    }
    // Address, data and the checksum itself: one's complement of the low
    // byte of the sum of count, address and data.
    unsigned sum = static_cast<unsigned>(count);
    for (int i = kAddressOffset; i < recordEnd - 2; i += 2) {
      const int high = DigitValue(line[i]);
      const int low = DigitValue(line[i + 1]);
      if (high < 0) return NotHexAt(line, i);
      if (low < 0) return NotHexAt(line, i + 1);
      sum += static_cast<unsigned>(high * 16 + low);
    }
    const int checkHigh = DigitValue(line[recordEnd - 2]);
    const int checkLow = DigitValue(line[recordEnd - 1]);
    if (checkHigh < 0) return NotHexAt(line, recordEnd - 2);
    if (checkLow < 0) return NotHexAt(line, recordEnd - 1);
    for (int i = recordEnd; i < length; ++i) {
      if (line[i] != ' ' && line[i] != '\t') {
        return "unexpected " + Shown(line[i]) + " at column " + std::to_string(i + 1) +
               " after the checksum";
      }
    }
    const int expected = static_cast<int>(0xFFu - (sum & 0xFFu));
    const int carried = checkHigh * 16 + checkLow;
    if (carried != expected) {
      return "record checksum is " + Hex2(carried) + ", expected " + Hex2(expected);
    }
    return {};
  }

  std::string problem_;
};

ValidationResult Failure(int32_t line, std::string problem) {
  ValidationResult result;
  result.line = line;
  result.problem = std::move(problem);
  return result;
}

// Puts the reason why assembling `packet` ended into words.
ValidationResult Describe(AssembleStatus status, const FlashState& state,
                          const unsigned char* packet, const RecordChecker& checker,
                          bool fileError) {
  const int32_t line = state.recordsRead;
  switch (status) {
    case AssembleStatus::kRejected:
      return Failure(line, checker.problem());
    case AssembleStatus::kPacketTooLong: {
      const int merged = packet[2] + RecordCount(state.lineBuffer) - 4;
      return Failure(line, "merging this record makes a packet of length " +
                               std::to_string(merged) + ", above " +
                               std::to_string(PacketLengthLimit(state.padRecords)) +
                               (state.padRecords ? " (with the pad bytes)" : ""));
    }
    case AssembleStatus::kEndOfFile:
      if (fileError) return Failure(line + 1, "the file could not be read");
      if (line == 0) return Failure(0, "the file holds no records");
      return Failure(line, "the file ends after this line without an S5, S8 or S9 record");
    case AssembleStatus::kPacket:
    case AssembleStatus::kNotRecord:
    case AssembleStatus::kLineTooLong:
    case AssembleStatus::kBadCount:
      break;
  }
  // The checker refuses every line that the assembly itself would refuse.
  return Failure(line, "not a sound S-record");
}

}  // namespace

ValidationResult ValidateFile(const std::string& fileName, bool padRecords,
                              const PacketObserver& observePacket) {
  // Closed on every way out.
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> opened(
      std::fopen(fileName.c_str(), "rb"), &std::fclose);
  std::FILE* const file = opened.get();
  if (file == nullptr) {
    return Failure(0, std::string("cannot open the file: ") + std::strerror(errno));
  }

  // A record of its own: the dry run must not disturb the run's state.
  FlashState state;
  InitFlashState(state);
  state.padRecords = padRecords;
  state.inputFile = file;
  RecordChecker checker;

  // The driver sends the first packet as data whatever its type; only a
  // look-ahead packet of type 5, 8 or 9 ends the transfer.
  unsigned char* packet = state.currentPacket;
  const auto assemble = [&](unsigned char* into) {
    const AssembleStatus made = AssembleNextPacket(state, into, &checker);
    if (made == AssembleStatus::kPacket && observePacket) observePacket(into);
    return made;
  };
  AssembleStatus status = assemble(packet);
  if (status == AssembleStatus::kPacket) {
    packet = state.nextPacket;
    do {
      status = assemble(packet);
      if (status == AssembleStatus::kPacket && IsTerminator(packet)) {
        ValidationResult result;
        result.ok = true;
        return result;
      }
    } while (status == AssembleStatus::kPacket);
  }
  return Describe(status, state, packet, checker, std::ferror(file) != 0);
}

std::string ValidationMessage(const std::string& fileName, const ValidationResult& result) {
  if (result.ok) return {};
  std::string message = "*** - Error, \"" + fileName + "\"";
  if (result.line > 0) message += " line " + std::to_string(result.line);
  return message + ": " + result.problem;
}
