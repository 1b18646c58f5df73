// Command-line options of talvorn-sim.
#pragma once

#include <string>

struct SimOptions {
  std::string imagePath;   // --image FILE: memory image written at each completed flash
  std::string logPath;     // --log FILE: one line per packet
  std::string checkPath;   // --check FILE: S-record file the image must equal
  bool once = false;       // --once: exit when the loader closes the line after a session
  int timeoutSeconds = 120;  // --timeout S: exit after S idle seconds

  // Fault injection. Packet numbers count every packet from 1; 0 means off.
  int ignoreWakeups = 0;
  int errorAt = 0;
  std::string errorText;
  int crlfAt = 0;
  int extraLineFeedAt = 0;  // one more "\n" after the answer to packet K
  bool startExtraLineFeed = false;  // one more "\n" after the start command's answer
  int silentAt = 0;
  int hangupAt = 0;
  int hangupInSetup = 0;   // set-up line: 1 wake-up string, 2-4 commands, 5 start command
  int delayMs = 0;         // delay of every packet answer
  int promptDelayMs = 0;   // delay of the prompt after every command line
  bool lineRate = false;   // pace sent and received bytes at 115200 8N1
  bool noise = false;      // junk bytes at line open and before each wake-up prompt
  bool startAnswer = true; // --no-start-answer clears it
  std::string startAnswerText = "Flash programming mode";  // --start-answer TEXT
  bool help = false;       // --help: print the usage text and exit
};

// Parses argv into `options`. On a bad command line returns false with
// `error` set to a one-line message.
bool ParseSimOptions(int argc, char** argv, SimOptions& options, std::string& error);

// The usage text, ending in a line end.
const char* SimUsage();
