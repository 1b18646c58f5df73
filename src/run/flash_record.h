// The flash record: one JSON line per run, appended to the log that --log=FILE
// or the environment variable TALVORN_LOG names, so that a production line or
// a service department can tell later which image went into which
// instrument, through which adapter, by whom, and how the run ended.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "run/flash_state.h"
#include "run/run_outcome.h"

class CSerial;

// When a run began: the wall clock for the record, a steady clock for its
// duration.
struct RunStart {
  std::chrono::system_clock::time_point wall = std::chrono::system_clock::now();
  std::chrono::steady_clock::time_point steady = std::chrono::steady_clock::now();
};

// What ties together the records of the runs of one command that flashed
// several instruments at once: the same id on every one of them.
struct BenchTag {
  std::string id;
  int ports = 0;
};

// An id that no other command's runs share: the command's start and process.
std::string NewBenchId(const RunStart& start);

// Appends the record of the run to state.options.logPath (nothing when it is empty,
// nor for a request answered without a flash: help, version, the port list)
// in one write, with `reason` (EndingReason) as its error. A log that cannot
// be opened or written costs one line on standard error; the run's output and
// exit status stay as they are.
// With `bench`, the record carries its tag.
void RecordRun(const FlashState& state, const CSerial& port, const RunStart& start,
               const RunOutcome& outcome, const std::string& reason, int status,
               const BenchTag* bench = nullptr);

// The record itself, without the line end.
std::string FlashRecordJson(const FlashState& state, const CSerial& port, const RunStart& start,
                            const RunOutcome& outcome, const std::string& reason, int status,
                            const BenchTag* bench = nullptr);

// `text` as a JSON string: quotes, backslash and control characters escaped;
// valid UTF-8 kept; every other byte taken as the Latin-1 character of that
// value (file names on Windows come in its 8-bit code page).
std::string JsonString(const std::string& text);

// UTC as ISO 8601 with milliseconds: 2026-12-07T10:28:47.123Z.
std::string IsoTime(std::chrono::system_clock::time_point when);

// Platform parts (flash_record_posix.cpp, flash_record_win32.cpp).
std::string HostName();
std::string UserName();
unsigned long ProcessId();
// Appends `line` to the file `path`, created if missing, in one write to a
// file opened for appending, so that records of loaders sharing a log never
// mix. False with `error` set when it cannot.
bool AppendToLog(const std::string& path, const std::string& line, std::string& error);
