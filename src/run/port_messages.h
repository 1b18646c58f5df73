// What the loader tells the technician about the serial port itself: why it
// could not be opened, and that it was lost during a run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/port_list.h"
#include "serial/serial_device.h"

// The line after "*** - Error, cannot open port.": the device, the reason in
// plain words for the error the port gave (CSerial::LastError) and the
// step that helps; without a line end. A device that is not there is
// followed by the ports that are. `label` is the port as messages show
// it (COM3, /dev/ttyUSB0), `portName` the name the port was opened by.
std::string PortOpenProblem(const std::string& label, const std::string& portName,
                            const SerialError& error);

// True when the port at `portName` (a device path, or "\\.\COMn") is the
// terminal the loader runs in: its controlling terminal (/dev/tty), or the
// terminal on its standard input, output or error. Such a port is refused
// before it is opened: the wake-up string and the line settings would go to
// the user's own screen. Never on Windows, where no COM port is the console.
bool IsOwnTerminal(const std::string& portName);
// The line after "*** - Error, cannot open port." for such a port.
std::string OwnTerminalProblem(const std::string& label, const std::string& portName);

// "lost the serial port LABEL (REASON)" for the error that showed the loss
// (CSerial::LostError), or for a write the port refused "the serial port
// LABEL refused a write" and the system's number for it, if any.
std::string LostPortText(const std::string& label, const SerialError& error);

// Platform words (port_messages_posix.cpp, port_messages_win32.cpp):
// the device shown for a port, e.g. "COM1 (/dev/ttyS0)" where COM numbers
// stand for device paths.
std::string PortDeviceShown(const std::string& label, const std::string& portName);
// The system's own number for a failure, as messages show it: "errno 12"
// (POSIX), "error 1234" (Windows).
std::string SystemCodeText(uint32_t code);
// The REASON of LostPortText: what the system said when the device went.
std::string LostReasonWords(const SerialError& error);
// After the device in PortOpenProblem: a port not opened for lack of
// permission, and what gives it.
std::string PermissionAdvice();

// "Serial ports present: A, B." or "No serial port is present."
std::string PortsPresentText(const std::vector<SerialPortInfo>& ports);

// The "--list-ports" listing: a line per port, its name, then what is known
// of it (alias, USB vendor:product, maker, product, serial number), each
// after two blanks; "No serial ports found.\n" when there is none.
std::string PortListText(const std::vector<SerialPortInfo>& ports);
// Prints the listing of the ports present ("--list-ports").
void PrintPortList();
