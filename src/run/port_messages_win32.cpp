#include "run/port_messages.h"

bool IsOwnTerminal(const std::string&) { return false; }

// COM numbers are the devices' own names here.
std::string PortDeviceShown(const std::string& label, const std::string&) { return label; }
