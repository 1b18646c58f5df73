// A scripted console for the tests: keys that become available after a
// chosen number of pauses, and a record of what the program did with it.
#pragma once

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "console/console.h"

class FakeConsole final : public Console {
 public:
  FakeConsole() { SetConsole(this); }
  ~FakeConsole() override { SetConsole(nullptr); }
  FakeConsole(const FakeConsole&) = delete;
  FakeConsole& operator=(const FakeConsole&) = delete;

  // `key` becomes waiting once the program has paused `afterPauses` times in
  // all (0: at once).
  void PressKey(int key, long afterPauses = 0) { script_.push_back({afterPauses, key}); }
  void SetKeysCanArrive(bool can) { keysCanArrive_ = can; }

  bool KeyWaiting() override {
    ++keyChecks;
    return Due();
  }
  int ReadKey() override {
    // A read waits for the next key as the real console does; here the wait
    // is simulated by moving the clock on to when that key is due.
    if (script_.empty()) return -1;
    if (!Due()) pauses = script_.front().first;
    const int key = script_.front().second;
    script_.pop_front();
    keysRead.push_back(key);
    return key;
  }
  void PutChar(char c) override { terminal.push_back(c); }
  void Beep(unsigned frequencyHz, unsigned durationMs) override {
    beeps.emplace_back(frequencyHz, durationMs);
  }
  void Pause1ms() override { ++pauses; }
  void GiveWay() override {}
  bool KeysCanArrive() override { return keysCanArrive_ || !script_.empty(); }

  std::string terminal;                                // characters written straight to it
  std::vector<std::pair<unsigned, unsigned>> beeps;    // frequency, duration
  std::vector<int> keysRead;
  long pauses = 0;
  long keyChecks = 0;

 private:
  bool Due() const { return !script_.empty() && script_.front().first <= pauses; }

  std::deque<std::pair<long, int>> script_;
  bool keysCanArrive_ = true;
};
