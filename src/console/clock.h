// The program's one clock: milliseconds that only ever move forward (not the
// time of day), from an arbitrary start. The console's clock (Console::ClockMs)
// and the serial devices' write bounds read it alike. Defined once per
// platform (clock_posix.cpp, clock_win32.cpp).
#pragma once

#include <cstdint>

int64_t MonotonicMs();
