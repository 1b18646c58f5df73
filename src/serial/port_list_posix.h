// The port list of Linux from a sysfs tree, for tests over a fake tree.
#pragma once

#include <string>
#include <vector>

#include "serial/port_list.h"

// Lists the ports of `root`/sys/class/tty and their links in
// `root`/dev/serial/by-id; names are /dev/<tty>. ListSerialPorts is this
// with the root "". A tty is a port when it has a device behind it
// (consoles and pseudo-terminals have none) and, for a UART port, a UART:
// the 8250 driver registers ports without one with the type 0.
std::vector<SerialPortInfo> ListSerialPortsUnder(const std::string& root);
