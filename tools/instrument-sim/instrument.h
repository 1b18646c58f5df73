// The instrument's side of the conversation, fed one received byte at a time:
//
//   asleep    waits for the wake-up string "===\n", answers '>'
//   command   echoes each byte of a command line; at its '\r' answers "\n>",
//             or for the start command ("$" or "%%") an answer line, and
//             enters flash mode
//   flash     takes packets and answers each with one line: "\n" accepts,
//             any other text is an error; a terminator (type 5, 8 or 9) is
//             accepted and followed by a prompt, back in command mode
//
// S2 data of accepted packets forms the memory image; a completed flash
// writes it out (--image) and compares it with a reference (--check). Events
// are reported as lines beginning "talvorn-sim: " on the report stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "memory_image.h"
#include "packet_check.h"
#include "packet_log.h"
#include "reply_queue.h"
#include "sim_options.h"

class Instrument {
 public:
  Instrument(const SimOptions& options, ReplySink& sink, PacketLog& log, std::FILE* report);

  // Reads the --check reference; false with `error` when it cannot be used.
  bool LoadReference(std::string& error);

  void LineOpened();
  void LineClosed();
  void Receive(uint8_t byte);

  // True when bytes have arrived since the line was last closed.
  bool SessionActive() const { return sessionBytes_ > 0; }
  // 0: a flash completed and no check failed; 1: a check failed; 2: no flash completed.
  int ExitStatus() const;
  void PrintSummary() const;

 private:
  enum class Mode { kAsleep, kCommand, kFlash };

  bool WakeStringEnds(uint8_t byte);
  void ReceiveAsleep(uint8_t byte);
  void ReceiveCommand(uint8_t byte);
  void ReceiveFlash(uint8_t byte);
  bool HangUpInSetUp();
  void HearWakeString();
  void EndCommandLine();
  void StartFlash(bool bootOverwrite);
  void HandlePacket(const Packet& packet);
  std::string AnswerFor(unsigned index, const std::string& problem) const;
  void Accept(const Packet& packet);
  void CompleteFlash();
  void SaveImage();
  void CheckImage();
  void Report(const std::string& line) const;

  const SimOptions& options_;
  ReplySink& sink_;
  PacketLog& log_;
  std::FILE* report_;

  Mode mode_ = Mode::kAsleep;
  std::string recent_;       // the last bytes received, for the wake-up string
  std::string commandLine_;  // command mode: bytes since the last '\r'
  PacketFramer framer_;
  bool inStrayRun_ = false;
  MemoryImage image_;        // S2 data of the flash in progress
  MemoryImage reference_;
  bool haveReference_ = false;

  int wakeupsIgnored_ = 0;
  int setupLines_ = 0;           // wake-up strings and command lines this session
  unsigned long sessionBytes_ = 0;
  unsigned long totalBytes_ = 0;
  unsigned long strayBytes_ = 0;
  unsigned packets_ = 0;         // every packet since the sim started
  unsigned flashPackets_ = 0;    // packets of the flash in progress
  int flashesCompleted_ = 0;
  bool checkFailed_ = false;
};
