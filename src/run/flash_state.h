// The run's state: the options of the command line, the firmware file with
// its reader, the link to the instrument, and how far the run got. main holds
// one for the whole run.
#pragma once

#include <cstdint>
#include <string>

#include "serial/device_protocol.h"
#include "srecord/input_file.h"
#include "srecord/srecord_reader.h"

// TALVORN_LOG, or "" when it is not set.
std::string LogPathFromEnvironment();

struct FlashState {
  // The command line.
  std::string fileName;        // firmware file name, as completed by the command line
  std::string portPath;        // a device path given instead of a port number ("" when a number)
  int16_t portNumber = 0;      // COM port number; printed with "%d"
  bool debugRecords = false;   // "-d": dump every data packet before it is sent
  bool padRecords = false;     // "-p": the pad bytes after every data packet
  bool bootOverwrite = false;  // "-b": boot-sector overwrite mode
  bool verbose = false;        // "-v": every character received is shown
  // The flash record's log: TALVORN_LOG, or "--log=FILE"; "" none.
  std::string logPath = LogPathFromEnvironment();

  // The firmware file: open from the probe to the end of the run.
  FileKind inputKind = FileKind::kMissing;
  int inputError = 0;          // errno of a regular file that could not be opened
  int32_t fileSize = 0;        // size of the file in bytes; -1 when 2 GiB or more
  FileFingerprint checked;     // the file as the check saw it
  SRecordReader reader;

  // The conversation with the instrument.
  SerialLink link;

  // How far the run got, for the flash record.
  bool portOpened = false;       // the port was opened: the record names its device
  bool transferStarted = false;  // the instrument answered the start command
  int32_t packetsSent = 0;
};

// The text that stands for the port in messages: "COM3", or the device path
// when one was given.
std::string PortLabel(const FlashState& state);
