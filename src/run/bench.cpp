#include "run/bench.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "run/bench_screen.h"
#include "run/command_line.h"
#include "run/driver.h"
#include "run/ending.h"
#include "run/flash_record.h"
#include "run/presentation.h"
#include "run/run_outcome.h"
#include "serial/cserial.h"
#include "serial/port_name.h"

namespace {

// Wake-up tries of each instrument (about 5 s each): one port's tries cannot
// wait for a key while the others flash, and a silent instrument must not
// hold the bench.
constexpr int kBenchWakeTries = 3;
// How often the screen is drawn again and the keys looked at.
constexpr auto kTick = std::chrono::milliseconds(50);

// One run's keys. The bench reads the keyboard for all of them: an ESC
// reaches every run, which acts on it as a single run does on its own.
class BenchKeys final : public RunKeys {
 public:
  explicit BenchKeys(bool keysCanArrive) : keysCanArrive_(keysCanArrive) {}
  void PressEscape() { escape_ = true; }
  int64_t NowMs() override { return TheConsole().ClockMs(); }
  void Pause1ms() override { TheConsole().Pause1ms(); }
  bool KeyWaiting() override { return escape_.load(); }
  int ReadKey() override { return escape_.exchange(false) ? kKeyEscape : -1; }
  bool Interrupted() override { return InterruptPending(); }
  bool KeysCanArrive() override { return keysCanArrive_; }
  int MostWakeTries() override { return kBenchWakeTries; }
  // "-b" was asked once, before any run began.
  bool ConfirmBootOverwrite() override { return true; }

 private:
  std::atomic<bool> escape_{false};
  bool keysCanArrive_;
};

struct BenchRun {
  FlashState state;
  CSerial port;
  std::unique_ptr<BenchKeys> keys;
  std::unique_ptr<BenchPortView> view;
  RunOutcome outcome;
  int32_t records = 0;
  double seconds = 0;
  std::string reason;  // the summary's: no control characters
  std::thread thread;
};

const char* BenchVerdict(Ending ending) {
  switch (ending) {
    case Ending::kSuccess: return "SUCCESSFUL";
    case Ending::kCancelled: return "CANCELLED";
    case Ending::kInterrupted: return "INTERRUPTED";
    default: return "UNSUCCESSFUL";
  }
}

// Why a run did not succeed, and what its instrument got, in one line.
std::string SummaryReason(const FlashState& state, const RunOutcome& outcome,
                          const std::string& reason) {
  if (outcome.ending == Ending::kSuccess) return "";
  std::string text =
      outcome.ending == Ending::kInstrumentError ? "error message: " + ErrorAnswerText(reason) : reason;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();
  }
  const char* got = "";
  switch (WhatInstrumentGot(state, outcome)) {
    case InstrumentGot::kNothing: got = "nothing was sent"; break;
    case InstrumentGot::kNoFirmware: got = "no firmware was sent"; break;
    case InstrumentGot::kPartOfImage: got = "the instrument may hold an incomplete image"; break;
    case InstrumentGot::kWholeImage: got = "the instrument had accepted the whole image"; break;
  }
  return ScreenText((text.empty() ? "" : text + "; ") + got, LineEnds::kShown);
}

// One instrument's whole run, in its own thread: its own reading of the file
// (which must still be the one checked), its conversation, its verdict on
// its line, and its flash record.
void FlashOne(BenchRun& run, const Firmware& checked, const BenchTag& tag, std::mutex& recording) {
  const RunStart start;
  FlashState& state = run.state;
  if (OpenFirmware(state.firmware, checked.name, state.options.padRecords)) {
    state.firmware.checked = checked.checked;
  }
  state.view = run.view.get();
  state.keys = run.keys.get();
  state.link.events = run.view.get();
  run.outcome = FlashPort(state, run.port);
  state.link.events = nullptr;
  // The instrument's line is free as soon as its run has ended.
  run.port.Close();
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start.steady).count();
  const std::string reason = EndingReason(state, run.outcome);
  run.records = state.progress.transferStarted ? state.firmware.reader.recordsRead : 0;
  run.reason = SummaryReason(state, run.outcome, reason);
  run.view->Finished(BenchVerdict(run.outcome.ending), run.records, run.seconds, run.reason);
  // One record at a time: a record cut back after a short write must not cut another's.
  const std::lock_guard<std::mutex> lock(recording);
  RecordRun(state, run.port, start, run.outcome, reason, ExitStatus(run.outcome), &tag);
}

// An ending before any port was opened: shown once, as a single run shows it,
// and recorded for every port named.
int EndBeforePorts(FlashState& checked, const std::vector<std::string>& labels,
                   const RunOutcome& outcome, const RunStart& start, const BenchTag& tag) {
  ShowEnding(checked, outcome, EndingReason(checked, outcome));
  for (const std::string& label : labels) {
    FlashState state;
    state.options = checked.options;
    state.link.portLabel = label;
    const CSerial unopened;
    RecordRun(state, unopened, start, outcome, EndingReason(state, outcome), ExitStatus(outcome),
              &tag);
  }
  return ExitStatus(outcome);
}

// Why two of the ports named are one device; "" when none are.
std::string SamePortTwice(const std::vector<RunOptions>& ports, const std::vector<std::string>& args) {
  std::vector<std::string> devices;
  for (size_t i = 0; i < ports.size(); ++i) {
    const RunOptions& port = ports[i];
    devices.push_back(PortIdentity(PortDevice(port)));
    for (size_t j = 0; j < i; ++j) {
      if (devices[j] == devices[i]) {
        return "\"" + args[j] + "\" and \"" + args[i] + "\" name the same port.";
      }
    }
  }
  return "";
}

void PrintSummary(const std::vector<std::unique_ptr<BenchRun>>& runs) {
  size_t width = 0;
  for (const auto& run : runs) width = std::max(width, run->state.link.portLabel.size());
  int successful = 0;
  std::printf("\nSummary:\n");
  for (const auto& run : runs) {
    successful += run->outcome.ending == Ending::kSuccess ? 1 : 0;
    std::printf("%-*s  %-12s %6ld records  %5.1f s%s%s\n", static_cast<int>(width),
                ScreenText(run->state.link.portLabel, LineEnds::kShown).c_str(),
                BenchVerdict(run->outcome.ending), static_cast<long>(run->records), run->seconds,
                run->reason.empty() ? "" : "  ", run->reason.c_str());
  }
  std::printf("%d of %d instruments SUCCESSFUL\n", successful, static_cast<int>(runs.size()));
  PrintDone();
  if (successful != static_cast<int>(runs.size())) TheConsole().Beep(1000, 100);
}

// Runs every instrument at once; the keyboard and the screen stay with this
// thread until the last run has ended.
void RunAll(std::vector<std::unique_ptr<BenchRun>>& runs, BenchScreen& screen,
            const Firmware& checked, const BenchTag& tag) {
  std::mutex recording;
  std::mutex mutex;
  std::condition_variable ended;
  size_t running = runs.size();
  for (auto& run : runs) {
    BenchRun* const one = run.get();
    run->thread = std::thread([one, &checked, &tag, &recording, &mutex, &ended, &running] {
      FlashOne(*one, checked, tag, recording);
      const std::lock_guard<std::mutex> lock(mutex);
      --running;
      ended.notify_all();
    });
  }
  Console& console = TheConsole();
  for (bool all = false; !all;) {
    for (int read = 0; read < kMostKeysDrained && console.KeyWaiting(); ++read) {
      const int key = console.ReadKey();
      if (key < 0) break;
      if (key != kKeyEscape) continue;
      for (auto& run : runs) run->keys->PressEscape();
    }
    screen.Draw();
    std::unique_lock<std::mutex> lock(mutex);
    all = ended.wait_for(lock, kTick, [&running] { return running == 0; });
  }
  for (auto& run : runs) run->thread.join();
  screen.Draw();
}

// The ports the command line names, as taken one by one.
struct BenchPorts {
  std::vector<RunOptions> taken;    // the arguments that name a port
  std::vector<std::string> labels;  // every argument as messages show it
  std::vector<std::string> args;    // every argument as given
  std::string notAPort;             // the first argument that names no port
};

BenchPorts TakePorts(const RunOptions& options, int argc, char** argv, int first) {
  BenchPorts ports;
  for (int i = first; i < argc; ++i) {
    RunOptions port = options;
    const bool taken = TakePort(port, argc, argv, i);
    ports.args.push_back(argv[i]);
    ports.labels.push_back(taken ? PortLabel(port) : argv[i]);
    if (taken) ports.taken.push_back(port);
    if (!taken && ports.notAPort.empty()) ports.notAPort = argv[i];
  }
  return ports;
}

// Too many ports, an argument that names none, or one device named twice:
// refused with its message, nothing opened, nothing recorded.
bool PortsAccepted(const BenchPorts& ports) {
  std::string refusal;
  if (ports.args.size() > static_cast<size_t>(kMostBenchPorts)) {
    refusal = "at most " + std::to_string(kMostBenchPorts) + " ports at once (" +
              std::to_string(ports.args.size()) + " were given).";
  } else if (ports.taken.size() < ports.args.size()) {
    PrintNotAPort(ports.notAPort, DevicePathsAsPorts());
  } else {
    refusal = SamePortTwice(ports.taken, ports.args);
    if (refusal.empty()) return true;
  }
  if (!refusal.empty()) PrintError(refusal);
  ReportFailure();
  return false;
}

// Every instrument at once, from the screen's first line to the exit status.
int FlashAll(const FlashState& checked, const BenchPorts& ports, const BenchTag& tag) {
  const RunOptions& options = checked.options;
  std::printf("Flashing \"%s\" into %d instruments at once.\n", options.fileName.c_str(), tag.ports);
  BenchScreen screen(ports.labels,
                     TheConsole().RedrawsLines() && !options.verbose && !options.debugRecords,
                     TheConsole().ScreenColumns());
  std::vector<std::unique_ptr<BenchRun>> runs;
  for (size_t i = 0; i < ports.taken.size(); ++i) {
    auto run = std::make_unique<BenchRun>();
    run->state.options = ports.taken[i];
    run->state.link.portLabel = ports.labels[i];
    run->keys = std::make_unique<BenchKeys>(TheConsole().KeysCanArrive());
    run->view = std::make_unique<BenchPortView>(screen, static_cast<int>(i), options.verbose);
    runs.push_back(std::move(run));
  }
  RunAll(runs, screen, checked.firmware, tag);
  PrintSummary(runs);
  DrainKeyboard();
  bool interrupted = false;
  bool allSucceeded = true;
  for (const auto& run : runs) {
    interrupted = interrupted || run->outcome.ending == Ending::kInterrupted;
    allSucceeded = allSucceeded && run->outcome.ending == Ending::kSuccess;
  }
  if (interrupted) return InterruptExitStatus();
  return allSucceeded ? 0 : 1;
}

}  // namespace

int RunBench(const CommandLine& line, int argc, char** argv) {
  const RunStart start;
  DrainKeyboard();
  FlashState checked;
  checked.options = line.options;
  if (!checked.options.logGiven) checked.options.logPath = LogPathFromEnvironment();
  const BenchTag tag{NewBenchId(start), argc - line.portIndex};
  const BenchPorts ports = TakePorts(checked.options, argc, argv, line.portIndex);
  if (!OpenFirmware(checked.firmware, checked.options.fileName, checked.options.padRecords)) {
    RunOutcome notFound;
    notFound.ending = Ending::kRefused;
    notFound.fileFault = FileFault::kNotFound;
    return EndBeforePorts(checked, ports.labels, notFound, start, tag);
  }
  PrintBanner();
  if (!PortsAccepted(ports)) return 1;
  if (const auto refused = CheckFirmware(checked.firmware)) {
    return EndBeforePorts(checked, ports.labels, *refused, start, tag);
  }
  PrintPressEscape();
  if (checked.options.bootOverwrite && !AskBootOverwrite()) {
    RunOutcome cancelled;
    cancelled.ending = InterruptPending() ? Ending::kInterrupted : Ending::kCancelled;
    return EndBeforePorts(checked, ports.labels, cancelled, start, tag);
  }
  checked.firmware.reader.file.reset();
  return FlashAll(checked, ports, tag);
}
