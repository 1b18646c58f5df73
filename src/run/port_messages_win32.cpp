#include "run/port_messages.h"

#include <windows.h>

bool IsOwnTerminal(const std::string&) { return false; }

// COM numbers are the devices' own names here.
std::string PortDeviceShown(const std::string& label, const std::string&) { return label; }

std::string SystemCodeText(uint32_t code) { return "error " + std::to_string(code); }

// Windows names the way a device went: a USB adapter pulled gives one of
// several codes, a line hung up under wine "not ready".
std::string LostReasonWords(const SerialError& error) {
  switch (error.code) {
    case ERROR_DEVICE_REMOVED: return "device removed";
    case ERROR_NOT_READY: return "device not ready";
    case ERROR_GEN_FAILURE: return "device not functioning";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_BAD_COMMAND: return "command not recognised";
    case ERROR_OPERATION_ABORTED: return "I/O aborted";
    default: return "error";
  }
}
