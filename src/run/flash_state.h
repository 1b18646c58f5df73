// The run's state, in three owners: the options as the command line gave
// them, the firmware file, and how far the run got; with the link to the
// instrument. main holds one for the whole run.
#pragma once

#include <cstdint>
#include <string>

#include "run/firmware.h"
#include "conversation/conversation.h"
#include "run/run_view.h"

// TALVORN_LOG, or "" when it is not set.
std::string LogPathFromEnvironment();

// The command line as parsed.
struct RunOptions {
  std::string fileName;        // firmware file name, as completed by the command line
  std::string portPath;        // a device path given instead of a port number ("" when a number)
  int16_t portNumber = 0;      // COM port number; printed with "%d"
  bool debugRecords = false;   // "-d": dump every data packet before it is sent
  bool padRecords = false;     // "-p": the pad bytes after every data packet
  bool bootOverwrite = false;  // "-b": boot-sector overwrite mode
  bool verbose = false;        // "-v": every character received is shown
  bool logGiven = false;       // "--log=FILE" was given: logPath is FILE
  // The flash record's log: "--log=FILE", else TALVORN_LOG as the driver
  // read it; "" none.
  std::string logPath;
};

// How far the run got, for the verdict and the flash record.
struct RunProgress {
  bool portOpened = false;       // the port was opened: the record names its device
  bool transferStarted = false;  // the instrument answered the start command
  int32_t packetsSent = 0;
};

struct FlashState {
  RunOptions options;
  Firmware firmware;
  SerialLink link;  // the conversation with the instrument
  RunProgress progress;
  // Where the run is shown and steered from, handed in by whoever runs it;
  // link.events is the view too.
  RunView* view = nullptr;
  RunKeys* keys = nullptr;
};

// The text that stands for the port in messages: "COM3", or the device path
// when one was given.
std::string PortLabel(const RunOptions& options);
// The device the port opens: the path given, or the platform's for the port
// number.
std::string PortDevice(const RunOptions& options);
