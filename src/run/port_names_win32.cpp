#include "run/command_line.h"

// Windows names serial ports by number only ("\\.\COMn").
bool DevicePathsAsPorts() { return false; }
