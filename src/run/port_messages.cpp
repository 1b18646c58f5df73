#include "run/port_messages.h"

#include "run/presentation.h"

#include "serial/comm_api.h"
#include "serial/cserial.h"

std::string PortOpenProblem(const std::string& label, const std::string& portName,
                            uint32_t error) {
  const std::string device = PortDeviceShown(label, portName) + ": ";
  switch (error) {
    case kErrorFileNotFound:
    case kErrorPathNotFound:
      return device + "no such device. Is the adapter plugged in? " +
                      PortsPresentText(ListSerialPorts());
    case kErrorPrivilegeNotHeld:
      return device + "permission denied. Join the dialout group with "
                      "sudo usermod -aG dialout $USER, then log in again.";
    // Windows refuses a port that another program holds with access denied.
    case kErrorAccessDenied:
    case kErrorSharingViolation:
      return device + "in use by another program. Close that program, then try again.";
    case kErrorInvalidFunction:
      return device + "not a serial device. Name the serial port the instrument is connected to.";
    case kErrorInvalidParameter:
      return device + "the device does not take the line settings " + kLineSettingsText + ".";
    default:
      break;
  }
  const bool posix = error >= kErrorPosixBase;
  return device + "the system refused it (" + (posix ? "errno " : "error ") +
         std::to_string(posix ? error - kErrorPosixBase : error) + ").";
}

std::string OwnTerminalProblem(const std::string& label, const std::string& portName) {
  return PortDeviceShown(label, portName) +
         ": the terminal this program runs in, not a serial port. Name the serial port the "
         "instrument is connected to.";
}

std::string LostPortText(const std::string& label, uint32_t error) {
  const char* reason = "error";
  switch (error) {
    case kErrorDeviceRemoved: reason = "device removed"; break;
    case kErrorNotReady: reason = "device not ready"; break;
    case kErrorGenFailure: reason = "device not functioning"; break;
    case kErrorAccessDenied: reason = "access denied"; break;
    case kErrorBadCommand: reason = "command not recognised"; break;
    case kErrorOperationAborted: reason = "I/O aborted"; break;
    default: break;
  }
  return "lost the serial port " + label + " (" + reason + ")";
}

std::string PortsPresentText(const std::vector<SerialPortInfo>& ports) {
  if (ports.empty()) return "No serial port is present.";
  std::string text = "Serial ports present: ";
  for (const SerialPortInfo& port : ports) text += port.name + (&port == &ports.back() ? "." : ", ");
  return text;
}

std::string PortListText(const std::vector<SerialPortInfo>& ports) {
  if (ports.empty()) return "No serial ports found.\n";
  std::string text;
  for (const SerialPortInfo& port : ports) {
    text += port.name;
    const std::string usb = port.usbId.empty() ? "" : "USB " + port.usbId;
    const std::string serial = port.serial.empty() ? "" : "serial " + port.serial;
    for (const std::string* part : {&port.alias, &usb, &port.manufacturer, &port.product, &serial}) {
      if (!part->empty()) text += "  " + *part;
    }
    text += "\n";
  }
  return text;
}

void PrintPortList() { PrintText(PortListText(ListSerialPorts())); }
