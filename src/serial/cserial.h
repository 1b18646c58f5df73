// CSerial: one serial communications port, opened by its device's path,
// configured for the instrument's line, with non-waiting reads and
// all-or-nothing writes. The platform sits behind the SerialDevice seam.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial/serial_device.h"

// The instrument's line: 115200 baud, no parity, 8 data bits, one stop bit,
// and as messages show it.
constexpr LineSettings kInstrumentLine{};
constexpr char kLineSettingsText[] = "115200,N,8,1";

class CSerial {
 public:
  CSerial();                             // the platform's device
  explicit CSerial(SerialDevice& device);  // for tests: a fake device
  virtual ~CSerial();
  CSerial(const CSerial&) = delete;
  CSerial& operator=(const CSerial&) = delete;

  // Opens the device at `path` (/dev/ttyUSB0, or a COM port's ComPortDevice)
  // and configures it with `line`. True when open and fully configured. On an
  // object that is already open the new path is stored but the open device
  // is kept.
  //
  // Every configuration (Open, Configure, SetBaudRate) opens the port if
  // needed and applies the settings. A failed open or a failed settings read
  // leaves the object closed; a failure in a later step leaves the port open.
  bool Open(const std::string& path, const LineSettings& line);
  // Stores the settings and configures the port again (opening it if closed).
  bool Configure(const LineSettings& line);
  // Configure with a new baud rate and the stored rest of the line settings.
  bool SetBaudRate(uint32_t baudRate);
  // Reads at most `count` bytes that have already arrived; never waits for
  // more. Returns the number stored; 0 for nothing waiting and for any failure.
  uint32_t Read(void* buffer, uint32_t count);
  // Sleeps until a byte is waiting to be read or `timeoutMs` has passed; may
  // return sooner. False, at once, when the port cannot be waited on (not
  // open, lost, or the device refused the wait): the caller then paces its
  // polls itself.
  bool WaitForInput(uint32_t timeoutMs);
  // Writes all `count` bytes or reports 0. Returns when the device has taken
  // every byte. A write that fails or that the device takes only in part
  // gives 0 (some bytes may have gone) and leaves the port lost, with the
  // write's error.
  uint32_t Write(const void* buffer, uint32_t count);
  // Write of the string's characters, without a terminator.
  uint32_t WriteString(const std::string& text);
  // Discards, by reading them, the bytes waiting in the input at the time of
  // the call; bytes arriving meanwhile stay queued.
  void Purge();
  // Releases the port. False when it was not open or the release failed; the
  // object is closed afterwards either way.
  bool Close();

  // Why the last device call that failed did so (no fault when none has
  // failed): after a failed Open, the reason.
  const SerialError& LastError() const { return lastError; }
  // True once the device has gone (adapter removed, line hung up) or has
  // refused a write: the instrument cannot be reached through it any more. A
  // port that is merely quiet is never lost. From then on Read, Write,
  // WriteString and Purge do nothing and return 0, so every wait ends at its
  // next poll.
  bool Lost() const { return lostError.fault != SerialFault::kNone; }
  // The error that showed the loss (kGone, or the refused write's); no
  // fault while the port is not lost.
  const SerialError& LostError() const { return lostError; }
  // The path the port was opened by ("\\.\COM3", "/dev/ttyUSB0").
  const std::string& PortName() const { return portName; }

 private:
  // Takes the reason of the device call that has just failed, and marks the
  // port lost when the reason says that the open device has gone.
  void DeviceFailed();
  bool Usable() const { return ready && device.IsOpen() && !Lost(); }

  std::unique_ptr<SerialDevice> owned;  // the platform's device, unless given one
  SerialDevice& device;
  LineSettings line = kInstrumentLine;
  std::string portName;
  bool ready = false;  // configured since it was opened
  SerialError lastError;
  SerialError lostError;
};
