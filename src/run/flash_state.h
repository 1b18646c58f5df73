// The run's state: the options of the command line, the firmware file with
// its reader, the link to the instrument, and the transfer's packets and
// counters. main holds one for the whole run.
#pragma once

#include <cstdint>
#include <string>

#include "serial/device_protocol.h"
#include "srecord/input_file.h"
#include "srecord/srecord_reader.h"

struct FlashState {
  // The command line.
  std::string fileName;        // firmware file name, as completed by the command line
  std::string portPath;        // a device path given instead of a port number ("" when a number)
  int16_t portNumber = 0;      // COM port number; printed with "%d"
  bool debugRecords = false;   // "-d": dump every data packet before it is sent
  bool padRecords = false;     // "-p": the pad bytes after every data packet
  bool bootOverwrite = false;  // "-b": boot-sector overwrite mode

  // The firmware file: open from the probe to the end of the run.
  FileKind inputKind = FileKind::kMissing;
  int inputError = 0;          // errno of a regular file that could not be opened
  int32_t fileSize = 0;        // size of the file in bytes; -1 when 2 GiB or more
  FileFingerprint checked;     // the file as the check saw it
  SRecordReader reader;

  // The conversation with the instrument ("-v" sets link.verbose).
  SerialLink link;

  // The transfer.
  bool cancelled = false;      // ESC seen during the transfer
  unsigned char currentPacket[kBufferSize] = {};
  unsigned char nextPacket[kBufferSize] = {};
  int32_t packetsSent = 0;
  std::string failure;         // why the transfer failed when not for the instrument's answer
};

// Puts the flags and the merge limit of `state` to their start values.
void InitFlashState(FlashState& state);

// The text that stands for the port in messages: "COM3", or the device path
// when one was given.
std::string PortLabel(const FlashState& state);
