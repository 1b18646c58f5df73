#include "run/port_messages.h"
#include "serial/comm_posix.h"

std::string PortDeviceShown(const std::string& label, const std::string& portName) {
  const std::string path = PosixDevicePath(portName);
  return path.empty() || path == label ? label : label + " (" + path + ")";
}
