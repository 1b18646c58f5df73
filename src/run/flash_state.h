// The run-wide state: everything one run of the loader knows, in one record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "srecord/input_file.h"

// Size of each fixed buffer: 160 characters (or packet bytes) and a spare byte
// for the terminating zero of the texts.
constexpr int kBufferSize = 161;

struct FlashState {
  std::string fileName;        // firmware file name, as completed by the command line
  std::string portPath;        // a device path given instead of a port number ("" when a number)
  int16_t portNumber = 0;      // COM port number; printed with "%d"
  bool verbose = false;        // "-v": echo every received character
  bool debugRecords = false;   // "-d": dump every data packet before it is sent
  bool padRecords = false;     // "-p": three 0xFF bytes after every data packet
  bool bootOverwrite = false;  // "-b": boot-sector overwrite mode
  bool cancelled = false;      // ESC seen during the transfer
  bool linePending = false;    // lineBuffer holds a record read but not yet used
  unsigned char lastChar = 0;  // last character received; 0 after an empty poll
  int32_t recordsRead = 0;     // lines read from the file
  int32_t bytesRead = 0;       // file bytes consumed, for the percentage
  int32_t fileSize = 0;        // size of the file in bytes
  int16_t recordsPerPacket = 4;
  std::FILE* inputFile = nullptr;  // the file the reader reads: inputHandle's, during the transfer
  FileHandle inputHandle;          // the firmware file, open from the probe to the end of the run
  FileKind inputKind = FileKind::kMissing;
  char lineBuffer[kBufferSize] = {};
  char responseLine[kBufferSize] = {};
  unsigned char currentPacket[kBufferSize] = {};
  unsigned char nextPacket[kBufferSize] = {};
  int32_t packetsSent = 0;
};

// The one record of the process.
extern FlashState g_flash;

// Puts the flags and the merge limit of `state` to their start values.
void InitFlashState(FlashState& state = g_flash);

// The text that stands for the port in messages: "COM3", or the device path
// when one was given.
std::string PortLabel(const FlashState& state);
