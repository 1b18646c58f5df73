// Several instruments at once: `talvorn [options] FILE PORT PORT...` flashes
// one image into every instrument named, each run in a thread of its own
// with its whole conversation and its own failures, on one screen.
#pragma once

#include "run/command_line.h"

// Most ports one command flashes at once.
constexpr int kMostBenchPorts = 32;

// The whole command, `line` being its parse (a flash naming two ports or
// more): the file checked once before any port is opened, the
// ports checked (no port twice), the runs, the summary and one flash record
// per instrument. Returns the process exit status: 0 only when every
// instrument accepted the whole image, 128 + the signal after an interrupt,
// 1 otherwise.
int RunBench(const CommandLine& line, int argc, char** argv);
