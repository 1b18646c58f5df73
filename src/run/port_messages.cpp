#include "run/port_messages.h"

#include "console/console.h"
#include "run/presentation.h"

#include "serial/cserial.h"

std::string PortOpenProblem(const std::string& label, const std::string& portName,
                            const SerialError& error) {
  const std::string device = PortDeviceShown(label, portName) + ": ";
  switch (error.fault) {
    case SerialFault::kNotFound:
      return device + "no such device. Is the adapter plugged in? " +
                      PortsPresentText(ListSerialPorts());
    case SerialFault::kPermission:
      return device + PermissionAdvice();
    case SerialFault::kInUse:
      return device + "in use by another program. Close that program, then try again.";
    case SerialFault::kNotSerial:
      return device + "not a serial device. Name the serial port the instrument is connected to.";
    case SerialFault::kSettingsRefused:
      return device + "the device does not take the line settings " + kLineSettingsText + ".";
    default:
      return device + "the system refused it (" + SystemCodeText(error.code) + ").";
  }
}

std::string OwnTerminalProblem(const std::string& label, const std::string& portName) {
  return PortDeviceShown(label, portName) +
         ": the terminal this program runs in, not a serial port. Name the serial port the "
         "instrument is connected to.";
}

std::string LostPortText(const std::string& label, const SerialError& error) {
  if (error.fault == SerialFault::kGone) {
    return "lost the serial port " + label + " (" + LostReasonWords(error) + ")";
  }
  const std::string code = error.code == 0 ? "" : " (" + SystemCodeText(error.code) + ")";
  return "the serial port " + label + " refused a write" + code;
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
    // As sysfs gives them: a device's own strings must not act on the terminal.
    text += ScreenText(port.name, LineEnds::kShown);
    const std::string usb = port.usbId.empty() ? "" : "USB " + port.usbId;
    const std::string serial = port.serial.empty() ? "" : "serial " + port.serial;
    for (const std::string* part : {&port.alias, &usb, &port.manufacturer, &port.product, &serial}) {
      if (!part->empty()) text += "  " + ScreenText(*part, LineEnds::kShown);
    }
    text += "\n";
  }
  return text;
}

void PrintPortList() { PrintText(PortListText(ListSerialPorts())); }
