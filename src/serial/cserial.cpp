#include "serial/cserial.h"

CSerial::CSerial() : owned(NewPlatformSerialDevice()), device(*owned) {}

CSerial::CSerial(SerialDevice& given) : device(given) {}

CSerial::~CSerial() {
  if (device.IsOpen()) device.Close();
}

bool CSerial::Open(const std::string& path, const LineSettings& newLine) {
  portName = path;
  return Configure(newLine);
}

bool CSerial::SetBaudRate(uint32_t baudRate) {
  LineSettings changed = line;
  changed.baudRate = baudRate;
  return Configure(changed);
}

void CSerial::DeviceFailed() {
  lastError = device.Error();
  if (device.IsOpen() && !Lost() && lastError.fault == SerialFault::kGone) lostError = lastError;
}

bool CSerial::Configure(const LineSettings& newLine) {
  line = newLine;
  if (!device.IsOpen()) {
    ready = false;
    if (!device.Open(portName)) {
      DeviceFailed();
      return false;
    }
    lostError = SerialError{};  // a new device: whatever was lost before is not this one
  }
  if (!device.Configure(line)) {
    DeviceFailed();
    return false;
  }
  ready = true;
  return true;
}

uint32_t CSerial::Read(void* buffer, uint32_t count) {
  uint32_t got = 0;
  if (count == 0 || !Usable()) return 0;
  if (!device.Read(buffer, count, got)) DeviceFailed();
  return got;
}

bool CSerial::WaitForInput(uint32_t timeoutMs) {
  if (!Usable()) return false;
  if (device.WaitForInput(timeoutMs)) return true;
  DeviceFailed();
  return false;
}

uint32_t CSerial::WriteString(const std::string& text) {
  // A length beyond 32 bits saturates, and the write is short.
  const uint64_t length = text.size();
  return Write(text.data(), length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length));
}

uint32_t CSerial::Write(const void* buffer, uint32_t count) {
  uint32_t sent = 0;
  if (count == 0 || !Usable()) return 0;
  const bool written = device.Write(buffer, count, sent);
  if (written && sent == count) return count;
  // The instrument cannot be told which bytes it missed: the port is of no
  // further use to the run.
  lastError = written ? SerialError{SerialFault::kWriteRefused, 0} : device.Error();
  lostError = lastError;
  return 0;
}

void CSerial::Purge() {
  if (Usable() && !device.Purge()) DeviceFailed();
}

bool CSerial::Close() {
  ready = false;
  return device.IsOpen() && device.Close();
}
