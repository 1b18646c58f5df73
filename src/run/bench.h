// Several instruments at once: `talvorn [options] FILE PORT PORT...` flashes
// one image into every instrument named, each run in a thread of its own
// with its whole conversation and its own failures, on one screen.
#pragma once

// Most ports one command flashes at once.
constexpr int kMostBenchPorts = 32;

// How many ports the command line names for a flash (0 for a command line
// that asks for no flash).
int FlashPortCount(int argc, char** argv);

// The whole command: the file checked once before any port is opened, the
// ports checked (no port twice), the runs, the summary and one flash record
// per instrument. Returns the process exit status: 0 only when every
// instrument accepted the whole image, 128 + the signal after an interrupt,
// 1 otherwise.
int RunBench(int argc, char** argv);
