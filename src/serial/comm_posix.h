// Device names of the POSIX serial backend (comm_posix.cpp).
#pragma once

#include <string>

// The path that the serial device opens for `deviceName`. "\\.\COMn" (n a decimal
// number from 1) is /dev/ttyS<n-1>, as Wine and Cygwin number the ports; any
// other name is a path and is used as it is. Empty when the name is a COM
// name without such a port ("\\.\COM0", "\\.\COMx", "\\.\COM").
std::string PosixDevicePath(const std::string& deviceName);
