// The screen of several runs at once: on a terminal, one line per port,
// written again in place as the runs go; elsewhere (a pipe, a file, or with
// "-v" or "-d"), plain lines, one per event, each beginning with its port,
// without control characters, for a log or a script to read.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "run/run_view.h"

class BenchScreen {
 public:
  // `labels`: the ports as messages show them. `redraw`: the terminal mode;
  // `columns`: its width.
  BenchScreen(std::vector<std::string> labels, bool redraw, int columns);

  // From the runs, any thread. The port's stage as its line shows it, with
  // (percent >= 0) the percentage and the records sent; with `event`, the
  // plain line that tells it.
  void Stage(int port, const std::string& stage, int percent, int32_t records,
             const std::string& event);
  // A plain line only (the "-v" and "-d" output, the wake-up hint).
  void Event(int port, const std::string& event);

  // From the thread that owns the screen: writes the lines again when
  // anything changed (terminal mode only).
  void Draw();

  const std::string& Label(int port) const { return lines_[port].label; }
  bool Redraws() const { return redraw_; }

 private:
  struct Line {
    std::string label;
    std::string text;  // what follows the label on the terminal
  };
  std::string Fitted(const Line& line) const;

  std::mutex mutex_;
  std::vector<Line> lines_;
  size_t labelLimit_ = 0;  // the most columns a label takes
  size_t labelWidth_ = 0;
  bool redraw_;
  int columns_;
  bool changed_ = true;
  bool drawn_ = false;
};

// One port's run on the bench screen.
class BenchPortView final : public RunView {
 public:
  BenchPortView(BenchScreen& screen, int port, bool echo) : screen_(screen), port_(port), echo_(echo) {}
  void WakingUp(const std::string& portLabel) override;
  void Received(unsigned char byte) override;
  void WakeFailed() override;
  void WakeHint(bool keysCanArrive) override;
  void Awake() override;
  void LineSet(const std::string& portLabel) override;
  void Started(const std::string& fileName) override;
  void Progress(int32_t packetsSent, int32_t recordsRead, int32_t bytesRead,
                int32_t fileSize) override;
  void Packet(const unsigned char* packet, int size) override;
  void AllSent(int32_t recordsRead) override;
  // The run's verdict on its line: "SUCCESSFUL", "UNSUCCESSFUL", ...
  void Finished(const std::string& verdict, int32_t records, double seconds,
                const std::string& reason);

 private:
  BenchScreen& screen_;
  int port_;
  bool echo_;
  int tries_ = 0;
  int tenths_ = 0;        // the last multiple of 10 % told as a plain line
  std::string received_;  // "-v": the line received so far
};
