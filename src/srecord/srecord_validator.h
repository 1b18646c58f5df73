// Whole-file validation: the same packet assembly as the transfer, run dry
// over the whole file before anything is sent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "srecord/srecord_reader.h"

struct ValidationResult {
  bool ok = false;
  int32_t line = 0;     // 1-based line number of the first problem (0: none / whole file)
  std::string problem;  // plain words, e.g. "record checksum is 3C, expected 3D"
};

// Checks every record of the reader's file and the packets that the transfer
// will build from them (with room for the pad when reader.padded is set),
// and stops at the first problem. The file is read once from its start; the
// memory used does not grow with it. The reader is left at an unspecified
// place: rewind it before the transfer.
//
// Like the transfer, the dry run sends the first packet as data whatever its
// type and then assembles packets until one of type 5, 8 or 9 comes next.
// The transfer never reads the lines after that end record, so only sound
// end records (S5, S7, S8, S9) and blank lines may follow it.
// Every line read must be a sound record (RecordProblem), and a packet is
// refused when merging would pass PacketLengthLimit. The file must reach an
// S5, S8 or S9 record after the first packet; an S5 record there must count
// the S1, S2 and S3 records before it (modulo 65536).
// `observePacket`, when given, sees every packet the dry run completes, in
// the order the transfer sends them, the terminator last.
using PacketObserver = std::function<void(const unsigned char* packet)>;
ValidationResult ValidateFile(SRecordReader& reader, const PacketObserver& observePacket = nullptr);

// The message for a failed validation, without a line end:
//   *** - Error, "fw.m0" line 17: record checksum is 3C, expected 3D
// and, when no one line is at fault (line 0):
//   *** - Error, "fw.m0": the file holds no records
// Empty for a passed validation.
std::string ValidationMessage(const std::string& fileName, const ValidationResult& result);
