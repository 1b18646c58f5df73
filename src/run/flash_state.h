// The run's state: the options of the command line, the firmware file with
// its reader, the link to the instrument, and the transfer's packets and
// counters. main holds one for the whole run.
#pragma once

#include <cstdint>
#include <string>

#include "serial/device_protocol.h"
#include "srecord/input_file.h"
#include "srecord/srecord_reader.h"

// How far a run got; with the transfer's flags it gives the run's verdict.
enum class RunStep {
  kCheck,     // the command line and the check of the file
  kPortArgument,  // the port argument, refused when it names no port
  kOpenPort,
  kWake,      // the port open, the instrument not yet awake
  kSetUp,     // awake: the set-up commands and the line settings
  kStart,     // the first packet and the start command
  kTransfer,  // the transfer loop
  kVerdict,   // the loop and the terminator done
};

struct FlashState {
  // The command line.
  std::string fileName;        // firmware file name, as completed by the command line
  std::string portPath;        // a device path given instead of a port number ("" when a number)
  int16_t portNumber = 0;      // COM port number; printed with "%d"
  bool debugRecords = false;   // "-d": dump every data packet before it is sent
  bool padRecords = false;     // "-p": the pad bytes after every data packet
  bool bootOverwrite = false;  // "-b": boot-sector overwrite mode
  std::string logPath;         // the flash record's log: TALVORN_LOG, or "--log=FILE"; "" none

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
  RunStep step = RunStep::kCheck;
};

// Puts the flags and the merge limit of `state` to their start values, and
// the log to TALVORN_LOG's.
void InitFlashState(FlashState& state);

// The text that stands for the port in messages: "COM3", or the device path
// when one was given.
std::string PortLabel(const FlashState& state);
