// Property checks for the fuzz targets: a property that does not hold ends
// the run as a finding, with the property named on standard error.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void Require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property does not hold: %s\n", property);
  std::abort();
}
