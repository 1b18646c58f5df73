// A scripted console: keys due after a number of pauses, a record of pauses,
// key checks and beeps; its clock moves 1 ms per pause.
#pragma once

#include <deque>
#include <utility>
#include <vector>

#include "console/console.h"

class FakeConsole final : public Console {
 public:
  FakeConsole() { SetConsole(this); }
  ~FakeConsole() override { SetConsole(nullptr); }
  FakeConsole(const FakeConsole&) = delete;
  FakeConsole& operator=(const FakeConsole&) = delete;

  // `key` becomes waiting once the program has paused `afterPauses` times in all.
  void PressKey(int key, long afterPauses = 0) { script_.push_back({afterPauses, key}); }
  void SetKeysCanArrive(bool can) { keysCanArrive_ = can; }

  bool KeyWaiting() override {
    ++keyChecks;
    return Due();
  }
  // A read waits for the next key: the clock moves on to when it is due.
  int ReadKey() override {
    if (script_.empty()) return -1;
    if (!Due()) pauses = script_.front().first;
    const int key = script_.front().second;
    script_.pop_front();
    return key;
  }
  void PutChar(char) override {}
  void Beep(unsigned frequencyHz, unsigned durationMs) override {
    beeps.emplace_back(frequencyHz, durationMs);
  }
  void Pause1ms() override { ++pauses; }
  int64_t ClockMs() override { return pauses + sleptMs; }  // moves only when the program waits
  bool KeysCanArrive() override { return keysCanArrive_ || !script_.empty(); }

  std::vector<std::pair<unsigned, unsigned>> beeps;  // frequency, duration
  long pauses = 0;
  long sleptMs = 0;  // what a fake port's sleeps took
  long keyChecks = 0;

 private:
  bool Due() const { return !script_.empty() && script_.front().first <= pauses; }

  std::deque<std::pair<long, int>> script_;
  bool keysCanArrive_ = true;
};
