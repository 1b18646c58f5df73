#include "run/command_line.h"

// A technician's adapter is /dev/ttyUSB0 or /dev/serial/by-id/..., which no
// COM number names, so a path is accepted as the port.
bool DevicePathsAsPorts() { return true; }

char** ProgramArguments(int, char** argv) { return argv; }
