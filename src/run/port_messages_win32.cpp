#include "run/port_messages.h"

#include <windows.h>

#include "serial/comm_win32.h"

bool IsOwnTerminal(const std::string&) { return false; }

// COM numbers are the devices' own names here.
std::string PortDeviceShown(const std::string& label, const std::string&) { return label; }

std::string SystemCodeText(uint32_t code) { return "error " + std::to_string(code); }

// Windows names the way a device went: a USB adapter pulled gives one of
// several codes, a line hung up under wine "not ready"; a driver that stopped
// ending its operations was given up on (ERROR_TIMEOUT).
std::string LostReasonWords(const SerialError& error) {
  switch (error.code) {
    case ERROR_DEVICE_REMOVED: case ERROR_FILE_NOT_FOUND: case ERROR_DEV_NOT_EXIST:
    case kErrorNoSuchDevice:
      return "device removed";
    case ERROR_DEVICE_NOT_CONNECTED: return "device not connected";
    case ERROR_NOT_READY: return "device not ready";
    case ERROR_GEN_FAILURE: return "device not functioning";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_BAD_COMMAND: case ERROR_INVALID_FUNCTION: return "command not recognised";
    case ERROR_OPERATION_ABORTED: return "I/O aborted";
    case ERROR_TIMEOUT: return "the device stopped responding";
    default: return "error " + std::to_string(error.code);
  }
}

// Who may open a port is the computer's own policy here.
std::string PermissionAdvice() {
  return "permission denied. Ask the computer's administrator for access to the port.";
}
