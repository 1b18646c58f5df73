// COM port numbers: how a port is named by its number, and the device each
// platform opens for one.
#pragma once

#include <string>

// Highest COM port number a port argument takes: the range Windows gives COM
// port names.
constexpr int kMaxPortNumber = 255;

// The COM port number `text` names: decimal digits ("3") or COM and digits in
// any case ("COM3", "com12"), from 1 to `most`; 0 for anything else.
int ComPortNumber(const std::string& text, int most = kMaxPortNumber);

// The device that COM port `number` (from 1) opens: "\\.\COMn" on Windows,
// /dev/ttyS<n-1> on POSIX systems, as Wine and Cygwin number the ports.
// Defined with each platform's serial device (comm_posix.cpp, comm_win32.cpp).
std::string ComPortDevice(int number);

// What tells two port names of one device apart from two devices: on POSIX
// systems the character device's number, so that a /dev/serial/by-id link
// and the /dev/ttyUSBn it leads to are one port (a name that is no device:
// its resolved path, or the name itself); on Windows the device as named.
std::string PortIdentity(const std::string& device);
