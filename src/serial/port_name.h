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
