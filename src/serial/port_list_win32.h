// The Windows port list's reading of device instance ids (port_list_win32.cpp).
#pragma once

#include <string>

#include "serial/port_list.h"

// The serial number in a device's instance id; "" when it has none. A USB
// device's id is USB\VID_v&PID_p\SERIAL when it has one (Windows makes one
// up, with '&' in it, when it has none); FTDI's own driver names its ports
// FTDIBUS\VID_v+PID_p+SERIALx\0000, where x is the port's letter (A, B, ...)
// on the chip.
std::string SerialNumberInInstanceId(const std::string& instance);
