// Whole-file validation: the same packet assembly as the transfer, run dry
// over the whole file before anything is sent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Sees each packet the dry run completes, in the order the transfer would send
// them, the terminator last.
using PacketObserver = std::function<void(const unsigned char* packet)>;

struct ValidationResult {
  bool ok = false;
  int32_t line = 0;     // 1-based line number of the first problem (0: none / whole file)
  std::string problem;  // plain words, e.g. "record checksum is 3C, expected 3D"
};

// Checks every record of `fileName` and the packets that the transfer will
// build from them (with the pad bytes when padRecords is set), and stops at
// the first problem. The file is opened in binary mode and read once, front
// to back, on a FlashState of its own: the run's state is never touched, and
// the memory used does not grow with the file.
//
// Like the transfer, the dry run sends the first packet as data whatever its
// type and then assembles packets until one of type 5, 8 or 9 comes next;
// lines after that record are not read, as the transfer never reads them.
//
// Each line read is refused when it is longer than 159 characters or holds a
// zero byte, does not begin with "S", has a type other than "0"-"9", has a
// character that is not a hex digit in its count, address, data or checksum,
// a count that claims more characters than the line holds or is too small for
// the record's address and checksum (see MinimumRecordCount), anything but
// blanks after the checksum, or a wrong checksum. Hex digits may be upper or
// lower case. A packet is refused when merging would pass PacketLengthLimit.
// The file must reach an S5, S8 or S9 record after the first packet.
// `observePacket`, when given, is called with every packet completed.
ValidationResult ValidateFile(const std::string& fileName, bool padRecords,
                              const PacketObserver& observePacket = nullptr);

// The message for a failed validation, without a line end:
//   *** - Error, "fw.m0" line 17: record checksum is 3C, expected 3D
// and, when no one line is at fault (line 0):
//   *** - Error, "fw.m0": the file holds no records
// Empty for a passed validation.
std::string ValidationMessage(const std::string& fileName, const ValidationResult& result);
