// The serial ports present on this machine, with the identity of the USB
// adapter behind a port when it has one. Defined once per platform
// (port_list_posix.cpp from sysfs, port_list_win32.cpp from the registry and
// SetupAPI).
#pragma once

#include <string>
#include <vector>

struct SerialPortInfo {
  std::string name;          // the port as the loader takes it: "/dev/ttyUSB0", "COM3"
  std::string alias;         // the /dev/serial/by-id link, or Windows' friendly name; "" none
  std::string usbId;         // "0403:6001" (vendor:product, hex); "" when not USB
  std::string manufacturer;  // the USB device's own strings, "" when it has none
  std::string product;
  std::string serial;
};

// The ports present, in name order (COM2 before COM10). Empty when there are
// none or they cannot be listed.
std::vector<SerialPortInfo> ListSerialPorts();

// The port's name in the list for the name a port was opened by
// (CSerial::PortName): "\\.\COM3" is COM3; on Linux a path is followed
// through its links, so /dev/serial/by-id/usb-... is /dev/ttyUSB0.
std::string ListedPortName(const std::string& portName);
