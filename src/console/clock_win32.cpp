#include "console/clock.h"

#include <windows.h>

// The performance counter: monotonic, and finer than the 10-16 ms of the tick
// count.
int64_t MonotonicMs() {
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return count.QuadPart / frequency.QuadPart * 1000 +
         count.QuadPart % frequency.QuadPart * 1000 / frequency.QuadPart;
}
