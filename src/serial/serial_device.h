// SerialDevice: the serial port as the loader needs it. Open a device by path,
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
// One line's settings. Every transfer is raw 8-bit binary without flow
// control of any kind, DTR and RTS raised and held while the port is open; a
// line error does not abort pending transfers.
struct LineSettings {
  uint32_t baudRate = 115200;
  Parity parity = Parity::kNone;
  DataBits dataBits = DataBits::k8;
  StopBits stopBits = StopBits::kOne;
};

// How long a write may take: twice the time of the longest character (start,
// 8 data, parity and 2 stop bits) per byte at `baudRate`, in whole
// milliseconds, and a slack for the driver's latency or a USB adapter's frame.
inline uint32_t WriteMsPerByte(uint32_t baudRate) {
  constexpr uint32_t kLongestCharBits = 12;
  return baudRate == 0 ? 1000 : (2 * kLongestCharBits * 1000 + baudRate - 1) / baudRate;
}
constexpr uint32_t kWriteSlackMs = 1000;

// Why a device call failed, in portable terms.
enum class SerialFault : uint8_t {
  kNone,
  kNotFound,         // nothing behind the name
  kPermission,       // not allowed to open it
  kInUse,            // another program holds it
  kNotSerial,        // something that is no serial port
  kSettingsRefused,  // the device does not take the line settings
  kGone,             // the open device has vanished (adapter removed, line hung up)
  kWriteRefused,     // the open device took a write only in part, or not at all
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

  // Opens the device at `path` (a COM port's is ComPortDevice) for reading
  // and writing, for this program alone. False with Error() set.
  virtual bool Open(const std::string& path) = 0;
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
  // Writes all `count` bytes, returning once the device has taken them. A
  // device that stops taking bytes fails the write as gone once their time
  // at the line's rate and the slack have passed (WriteMsPerByte,
  // kWriteSlackMs). `sent` counts the bytes taken, also of a write that
  // failed. False on failure; true with `sent` short when the device gave
  // up on the rest without a fault.
  virtual bool Write(const void* buffer, uint32_t count, uint32_t& sent) = 0;
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
