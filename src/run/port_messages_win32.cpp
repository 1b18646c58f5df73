#include "run/port_messages.h"

// COM numbers are the devices' own names here.
std::string PortDeviceShown(const std::string& label, const std::string&) { return label; }
