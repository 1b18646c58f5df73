#include "srecord/srecord_validator.h"

#include <cstdio>
#include <cstring>

namespace {

ValidationResult Failure(int32_t line, std::string problem) {
  ValidationResult result;
  result.line = line;
  result.problem = std::move(problem);
  return result;
}

// Puts the reason why assembling `packet` ended into words.
ValidationResult Describe(AssembleStatus status, const SRecordReader& reader,
                          const unsigned char* packet) {
  const int32_t line = reader.recordsRead;
  switch (status) {
    case AssembleStatus::kBadRecord:
      return Failure(line, RecordProblem(reader.lineBuffer, reader.line));
    case AssembleStatus::kPacketTooLong: {
      const int merged = PacketLength(packet) + RecordCount(reader.lineBuffer) - 4;
      return Failure(line, "merging this record makes a packet of length " +
                               std::to_string(merged) + ", above " +
                               std::to_string(PacketLengthLimit(reader.padded)) +
                               (reader.padded ? " (with the pad bytes)" : ""));
    }
    case AssembleStatus::kEndOfFile:
    case AssembleStatus::kPacket:
      break;
  }
  if (std::ferror(reader.file.get())) return Failure(line + 1, "the file could not be read");
  if (line == 0) return Failure(0, "the file holds no records");
  return Failure(line, "the file ends after this line without an S5, S8 or S9 record");
}

// An S5 record that ends the transfer states how many data records (S1, S2,
// S3) came before it, in 16 bits: a file that lost or gained one is refused.
ValidationResult CheckRecordCount(const SRecordReader& reader, const unsigned char* terminator) {
  const auto held = static_cast<uint32_t>(reader.dataRecords);
  if (PacketType(terminator) == 5) {
    const unsigned char* count = PacketBody(terminator);
    const uint32_t stated = (uint32_t{count[0]} << 8) | count[1];
    if (stated != (held & 0xFFFFu)) {
      return Failure(reader.recordsRead, "the S5 record counts " + std::to_string(stated) +
                                             " data records, the file holds " +
                                             std::to_string(held) + " before it");
    }
  }
  ValidationResult result;
  result.ok = true;
  return result;
}

// True when only zero bytes are left in the file: padding, as a copy tool
// may leave it.
bool OnlyZerosLeft(std::FILE* file) {
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    for (size_t i = 0; i < got; ++i) {
      if (chunk[i] != 0) return false;
    }
  }
  return std::ferror(file) == 0;
}

// After the end record that ends the transfer the instrument is sent nothing
// more: a line there is only allowed when sending it would change nothing.
// Toolchains write S5 then S9, or blank lines; a data record or other text
// there is a file cut or joined wrongly, and flashing its first part would
// leave half an image. The lines are read to the end of the file.
ValidationResult CheckAfterEnd(SRecordReader& reader) {
  std::FILE* const file = reader.file.get();
  for (int32_t line = reader.recordsRead + 1;; ++line) {
    const int first = std::getc(file);
    if (first == 0) {
      if (OnlyZerosLeft(file)) break;
      return Failure(line, "line holds a zero byte");
    }
    if (first != EOF) std::ungetc(first, file);
    ReadLine(reader);
    if (reader.line.endOfFile) break;
    const char* const text = reader.lineBuffer;
    if (!reader.line.tooLong && !reader.line.zeroByte &&
        std::strspn(text, " \t") == static_cast<size_t>(reader.line.length)) {
      continue;  // a blank line
    }
    const std::string problem = RecordProblem(text, reader.line);
    const bool endRecord = text[0] == 'S' && std::strchr("5789", text[kTypeOffset]) != nullptr;
    if (endRecord && !problem.empty()) return Failure(line, problem);
    if (!endRecord) {
      return Failure(line, "only end records (S5, S7, S8, S9) and blank lines may follow the "
                           "end record");
    }
  }
  if (std::ferror(reader.file.get())) return Failure(0, "the file could not be read");
  ValidationResult result;
  result.ok = true;
  return result;
}

}  // namespace

ValidationResult ValidateFile(SRecordReader& reader, const PacketObserver& observePacket) {
  if (!RewindReader(reader)) return Failure(0, "the file could not be read");
  unsigned char first[kBufferSize];
  unsigned char next[kBufferSize];
  // The driver sends the first packet as data whatever its type; only a
  // look-ahead packet of type 5, 8 or 9 ends the transfer.
  unsigned char* packet = first;
  const auto assemble = [&](unsigned char* into) {
    const AssembleStatus status = AssemblePacket(reader, into);
    if (status == AssembleStatus::kPacket && observePacket) observePacket(into);
    return status;
  };
  AssembleStatus status = assemble(packet);
  if (status == AssembleStatus::kPacket) {
    packet = next;
    do {
      status = assemble(packet);
      if (status == AssembleStatus::kPacket && IsTerminator(packet)) {
        const ValidationResult counted = CheckRecordCount(reader, packet);
        return counted.ok ? CheckAfterEnd(reader) : counted;
      }
    } while (status == AssembleStatus::kPacket);
  }
  return Describe(status, reader, packet);
}

std::string ValidationMessage(const std::string& fileName, const ValidationResult& result) {
  if (result.ok) return {};
  std::string message = "*** - Error, \"" + fileName + "\"";
  if (result.line > 0) message += " line " + std::to_string(result.line);
  return message + ": " + result.problem;
}
