// What a run shows and where its keys come from: handed to the run by
// whoever runs it, so that the same steps serve a single run on the whole
// screen and each line of several runs at once.
#pragma once

#include <cstdint>
#include <string>

#include "conversation/conversation.h"

// The run's events, beyond the conversation's own: each step tells what it
// did, and the view decides what of it reaches the screen.
class RunView : public LinkEvents {
 public:
  // The wake-up try that began with WakingUp got no prompt.
  virtual void WakeFailed() = 0;
  // Once, after the third failed try: what to check (`keysCanArrive`: a key
  // stops the tries).
  virtual void WakeHint(bool keysCanArrive) = 0;
  virtual void Awake() = 0;
  // The port was set to the instrument's line once more after the set-up.
  virtual void LineSet(const std::string& portLabel) = 0;
  // The instrument answered the start command: the transfer of `fileName` begins.
  virtual void Started(const std::string& fileName) = 0;
  // A data packet has gone: the transfer's progress.
  virtual void Progress(int32_t packetsSent, int32_t recordsRead, int32_t bytesRead,
                        int32_t fileSize) = 0;
  // "-d": a packet, as it goes on the wire.
  virtual void Packet(const unsigned char* packet, int size) = 0;
  // The instrument accepted the end record.
  virtual void AllSent(int32_t recordsRead) = 0;
};

// The run's clock and keys: what the conversation waits by, and what the run
// itself asks of the person at the keyboard.
class RunKeys : public ConversationClock {
 public:
  // False once no key press can ever arrive.
  virtual bool KeysCanArrive() = 0;
  // Failed wake-up tries after which the run gives up; 0: the tries go on
  // until a key stops them.
  virtual int MostWakeTries() = 0;
  // "-b": whether the boot sector may be overwritten.
  virtual bool ConfirmBootOverwrite() = 0;
};

// Most key presses one drain takes: a person types far fewer, and a standard
// input that never runs dry (/dev/zero) must not hold the run for ever.
constexpr int kMostKeysDrained = 256;
// Throws away the key presses waiting in `keys` (at most kMostKeysDrained);
// true when one of them was ESC.
bool DrainKeys(RunKeys& keys);
