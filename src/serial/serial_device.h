// SerialDevice: the serial port as the loader needs it. Open a device by name,
// apply the line settings, read what has arrived, sleep until input comes,
// write everything, discard waiting input, close. Each platform realises it
// once (comm_posix.cpp, comm_win32.cpp); CSerial holds the
// loader's own rules on top and never looks past this interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

enum class Parity : uint8_t { kNone, kOdd, kEven, kMark, kSpace };
enum class DataBits : uint8_t { k5 = 5, k6 = 6, k7 = 7, k8 = 8 };
enum class StopBits : uint8_t { kOne, kOneAndAHalf, kTwo };
// The modem lines while the port is open: DTR and RTS raised and held.
enum class ModemLines : uint8_t { kRaised };
// Flow control in either direction: none, neither hardware nor XON/XOFF.
enum class FlowControl : uint8_t { kNone };

// One line's settings. Every transfer is raw 8-bit binary; a line error does
// not abort pending transfers.
struct LineSettings {
  uint32_t baudRate = 115200;
  Parity parity = Parity::kNone;
  DataBits dataBits = DataBits::k8;
  StopBits stopBits = StopBits::kOne;
  FlowControl flow = FlowControl::kNone;
  ModemLines modemLines = ModemLines::kRaised;
};

// Why a device call failed, in portable terms.
enum class SerialFault : uint8_t {
  kNone,
  kNotFound,         // nothing behind the name
  kPermission,       // not allowed to open it
  kInUse,            // another program holds it
  kNotSerial,        // something that is no serial port
  kSettingsRefused,  // the device does not take the line settings
  kGone,             // the open device has vanished (adapter removed, line hung up)
  kOther,
};

// The fault and the system's own number for it (an errno value or a Win32
// error code, as the platform gives; 0 when there is none), for messages.
struct SerialError {
  SerialFault fault = SerialFault::kNone;
  uint32_t code = 0;
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Opens the named device for reading and writing, for this program alone.
  // "\\.\COMn" names COM port n on every platform. False with Error() set.
  virtual bool Open(const std::string& name) = 0;
  // Applies `line` to the open device. False with Error() set; the device is
  // closed afterwards when its settings could not even be read.
  virtual bool Configure(const LineSettings& line) = 0;
  virtual bool IsOpen() const = 0;
  // Takes at most `count` bytes that have already arrived; never waits for
  // more. False on failure; `got` is 0 then.
  virtual bool Read(void* buffer, uint32_t count, uint32_t& got) = 0;
  // Sleeps until input is waiting or `timeoutMs` has passed, whichever comes
  // first, without taking any byte; may return sooner (a signal, a hang-up).
  // False when the device cannot be waited on.
  virtual bool WaitForInput(uint32_t timeoutMs) = 0;
  // Writes all `count` bytes, returning once the device has taken them, or
  // when `timeoutMs` has passed with `sent` short. With 0 the caller sets no
  // limit, but a device that stops taking bytes (a driver that never ends
  // the write) may fail the write as gone once far more than the bytes'
  // time at the line's rate has passed. Refused,
  // `sent` 0 and no fault, unless `count` is smaller than the free room of
  // the transmit queue. False on failure.
  virtual bool Write(const void* buffer, uint32_t count, uint32_t timeoutMs, uint32_t& sent) = 0;
  // Discards, by reading them, the bytes waiting at the time of the call;
  // bytes arriving meanwhile stay queued. False on failure.
  virtual bool Purge() = 0;
  // Releases the device; closed afterwards either way. False when the
  // release failed.
  virtual bool Close() = 0;
  // Why the last call that failed did so.
  virtual SerialError Error() const = 0;
};

// A closed device of the platform the program is built for.
std::unique_ptr<SerialDevice> NewPlatformSerialDevice();
