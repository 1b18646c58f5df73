// The firmware file of a run: open from its probe to the end of the transfer,
// with the reader that assembles its packets, and the fingerprint the check
// took, so that the transfer can tell whether it still reads the file that
// was checked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "srecord/input_file.h"
#include "srecord/srecord_reader.h"

struct Firmware {
  std::string name;                 // the file name, as the command line completed it
  FileKind kind = FileKind::kMissing;
  int openError = 0;                // errno of a regular file that could not be opened
  int32_t size = 0;                 // size in bytes; -1 when 2 GiB or more
  FileFingerprint checked;          // the file as the check saw it
  SRecordReader reader;
};

// Opens `name` for reading and keeps it open in firmware.reader, its packets
// assembled with the pad's room when `padded`; false when there is nothing of
// that name. Sets kind; a directory or another file that is not regular is
// not opened (true, the reader without a file), nor is a regular file that
// cannot be read (true, openError set). Otherwise sets size.
bool OpenFirmware(Firmware& firmware, const std::string& name, bool padded);

// True when the file is still the one the check fingerprinted.
bool FirmwareAsChecked(const Firmware& firmware);

// Puts the reader back to the file's start, with nothing read; false when
// the file cannot be positioned.
bool RewindFirmware(Firmware& firmware);

// The percentage of the transfer counts the bytes read from here on.
void CountProgressFromHere(Firmware& firmware);

// Size of an open file, leaving its position as it was; -1 when it cannot be
// measured or does not fit in 31 bits.
int32_t FileSize(std::FILE* file);
