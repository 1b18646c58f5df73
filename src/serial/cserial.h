// CSerial: one serial communications port, opened by number ("\\.\COMn") or
// by device name, configured for the instrument's line, with non-waiting reads
// and all-or-nothing writes. The platform sits behind the CommApi seam.
#pragma once

#include <cstdint>
#include <string>

#include "serial/comm_api.h"

// The instrument's line: 115200 baud, no parity, 8 data bits, one stop bit,
// in the DCB codes of the configuring calls, and as messages show it.
constexpr uint32_t kLineBaudRate = 115200;
constexpr uint32_t kLineParity = 0;
constexpr uint32_t kLineByteSize = 8;
constexpr uint32_t kLineStopBits = 0;
constexpr char kLineSettingsText[] = "115200,N,8,1";

class CSerial {
 public:
  CSerial();                       // uses the platform's CommApi
  explicit CSerial(CommApi& api);  // for tests: a fake device
  virtual ~CSerial();
  CSerial(const CSerial&) = delete;
  CSerial& operator=(const CSerial&) = delete;

  // Opens "\\.\COM<portNumber>" and configures it. True when open and fully
  // configured. The line settings are DCB codes: parity 0 none, 1 odd, 2 even,
  // 3 mark, 4 space; stopBits 0 one, 1 one and a half, 2 two; only the low
  // byte of parity, byteSize and stopBits reaches the device. On an object
  // that is already open the new name is stored but the open handle is kept.
  //
  // Every configuration (Open, OpenDevice, Configure, SetBaudRate) opens the
  // port if needed, lowers the queue sizes to the device's maxima, installs
  // the settings and time-outs and makes the object ready for I/O. A failed
  // open or a failed settings read leaves the object closed; a failure in a
  // later step leaves the port open (and ready if it was ready before).
  bool Open(uint32_t portNumber, uint32_t baudRate, uint32_t parity, uint32_t byteSize,
            uint32_t stopBits);
  // Same, with the device name given as it is (e.g. /dev/ttyUSB0).
  bool OpenDevice(const std::string& deviceName, uint32_t baudRate, uint32_t parity,
                  uint32_t byteSize, uint32_t stopBits);
  // Stores the settings and configures the port again (opening it if closed).
  bool Configure(uint32_t baudRate, uint32_t parity, uint32_t byteSize, uint32_t stopBits);
  // Configure with a new baud rate and the stored parity, byte size and stop bits.
  bool SetBaudRate(uint32_t baudRate);
  // Reads at most `count` bytes that have already arrived; never waits for
  // more. Returns the number stored; 0 for nothing waiting and for any failure.
  uint32_t Read(void* buffer, uint32_t count);
  // Sleeps until a byte is waiting to be read or `timeoutMs` has passed; may
  // return sooner. False, at once, when the port cannot be waited on (not
  // ready, lost, or the device refused the wait): the caller then paces its
  // polls itself.
  bool WaitForInput(uint32_t timeoutMs);
  // Writes all `count` bytes or reports 0. Returns when the device has taken
  // every byte. Refused (0, nothing sent) unless `count` is strictly smaller
  // than the free room of the transmit queue. A device that takes only part
  // gives 0 as well: some bytes may have gone.
  uint32_t Write(const void* buffer, uint32_t count);
  // Write of the string's characters, without a terminator.
  uint32_t WriteString(const std::string& text);
  // Discards, by reading them, the bytes waiting in the input at the time of
  // the call; bytes arriving meanwhile stay queued.
  void Purge();
  // Releases the port. False when it was not open or the release failed; the
  // object is closed afterwards either way.
  bool Close();

  // Why the last device call that failed did so (a kError... code of
  // comm_api.h; 0 when none has failed): after a failed Open, the reason.
  uint32_t LastError() const { return lastError; }
  // True once the device has gone (adapter removed, line hung up): a device
  // call failed with a code that only a vanished device gives. A port that is
  // merely quiet is never lost. From then on Read, Write, WriteString and
  // Purge do nothing and return 0, so every wait ends at its next poll.
  bool Lost() const { return lostError != 0; }
  // The code that showed the loss; 0 while the port is not lost.
  uint32_t LostError() const { return lostError; }
  // The name the port was opened by ("\\.\COM3", "/dev/ttyUSB0").
  const std::string& PortName() const { return portName; }

 private:
  bool RunConfiguration();
  void RenewEvent(CommIo& io);
  uint32_t WriteBytes(const void* buffer, uint32_t count);
  // Takes the reason of the device call that has just failed, and marks the
  // port lost when the reason says that the open device has gone.
  void DeviceFailed();

  CommHandle portHandle = kNoCommHandle;  // kNoCommHandle: not open
  CommIo readIo{};                        // used by Read alone
  CommIo writeIo{};                       // used by Write and WriteString
  uint32_t baudRate = kLineBaudRate;
  uint32_t parity = kLineParity;      // DCB Parity code
  uint32_t stopBits = kLineStopBits;  // DCB StopBits code
  uint32_t byteSize = kLineByteSize;
  uint32_t rxQueueSize = 4096;  // never grows: lowered to the device's maximum
  uint32_t txQueueSize = 4096;  // also the capacity in the write room test
  CommTimeouts timeouts{0, 0, 2000, 0, 0};
  std::string portName;
  uint32_t lastError = 0;
  uint32_t lostError = 0;
  CommApi& api;
};
