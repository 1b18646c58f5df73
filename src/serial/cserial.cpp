#include "serial/cserial.h"

#include <cstdio>
#include <memory>
#include <new>

namespace {

// Flag word changes of every configuration: binary mode, DTR and RTS raised
// and held, no hardware or XON/XOFF flow control in either direction, and a
// line error does not abort pending I/O. The other bits keep the device's
// values.
// The two-bit line controls lose their high bit here and get their low bit
// below, which makes both ENABLE.
constexpr uint32_t kDcbFlagsKept =
    ~(kDcbOutxCtsFlow | kDcbOutxDsrFlow | kDcbDtrControlHandshake | kDcbDsrSensitivity |
      kDcbOutX | kDcbInX | kDcbRtsControlHandshake | kDcbAbortOnError);
constexpr uint32_t kDcbFlagsSet = kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable;
static_assert(kDcbFlagsKept == 0xFFFF9C93u, "flag word mask");
static_assert(kDcbFlagsSet == 0x1011u, "flag word settings");

uint8_t LowByte(uint32_t value) { return static_cast<uint8_t>(value & 0xFFu); }

// The errors a device that has vanished gives on Windows (a USB adapter
// pulled: access denied, bad command, aborted, not functioning, removed; a
// line hung up under wine: not ready) and, translated, on POSIX.
bool MeansDeviceGone(uint32_t error) {
  switch (error) {
    case kErrorAccessDenied:
    case kErrorNotReady:
    case kErrorBadCommand:
    case kErrorGenFailure:
    case kErrorOperationAborted:
    case kErrorDeviceRemoved:
      return true;
    default:
      return false;
  }
}

}  // namespace

CSerial::CSerial() : api(PlatformCommApi()) {}

CSerial::CSerial(CommApi& commApi) : api(commApi) {}

CSerial::~CSerial() {
  if (portHandle != kNoCommHandle) {
    api.CloseHandle(portHandle);
  }
  // The events belong to the object, not to the port: they go with it.
  for (CommIo* io : {&readIo, &writeIo}) {
    if (io->event != kNoCommHandle) {
      api.CloseHandle(io->event);
    }
  }
}

bool CSerial::Open(uint32_t portNumber, uint32_t newBaudRate, uint32_t newParity,
                   uint32_t newByteSize, uint32_t newStopBits) {
  char number[16];
  std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(portNumber));
  return OpenDevice(std::string("\\\\.\\COM") + number, newBaudRate, newParity, newByteSize,
                    newStopBits);
}

bool CSerial::OpenDevice(const std::string& deviceName, uint32_t newBaudRate,
                         uint32_t newParity, uint32_t newByteSize, uint32_t newStopBits) {
  portName = deviceName;
  return Configure(newBaudRate, newParity, newByteSize, newStopBits);
}

bool CSerial::Configure(uint32_t newBaudRate, uint32_t newParity, uint32_t newByteSize,
                        uint32_t newStopBits) {
  baudRate = newBaudRate;
  parity = newParity;
  byteSize = newByteSize;
  stopBits = newStopBits;
  return RunConfiguration();
}

bool CSerial::SetBaudRate(uint32_t newBaudRate) {
  return Configure(newBaudRate, parity, byteSize, stopBits);
}

void CSerial::DeviceFailed() {
  lastError = api.GetLastError();
  if (portHandle != kNoCommHandle && lostError == 0 && MeansDeviceGone(lastError)) {
    lostError = lastError;
  }
}

bool CSerial::RunConfiguration() {
  if (portHandle == kNoCommHandle) {
    const CommHandle opened = api.CreateFileA(portName);
    if (opened == kInvalidCommHandle || opened == kNoCommHandle) {
      portHandle = kNoCommHandle;
      DeviceFailed();
      return false;
    }
    portHandle = opened;
    lostError = 0;  // a new handle: whatever was lost before is not this device
  }

  CommProperties properties;
  if (api.GetCommProperties(portHandle, properties)) {
    if (properties.dwMaxRxQueue != 0 && properties.dwMaxRxQueue < rxQueueSize) {
      rxQueueSize = properties.dwMaxRxQueue;
    }
    if (properties.dwMaxTxQueue != 0 && properties.dwMaxTxQueue < txQueueSize) {
      txQueueSize = properties.dwMaxTxQueue;
    }
  }

  if ((rxQueueSize != 0 || txQueueSize != 0) &&
      !api.SetupComm(portHandle, rxQueueSize, txQueueSize)) {
    DeviceFailed();
    return false;
  }

  CommDcb dcb;
  if (!api.GetCommState(portHandle, dcb)) {
    DeviceFailed();
    Close();
    return false;
  }
  dcb.BaudRate = baudRate;
  dcb.ByteSize = LowByte(byteSize);
  dcb.Parity = LowByte(parity);
  dcb.StopBits = LowByte(stopBits);
  dcb.flags = (dcb.flags & kDcbFlagsKept) | kDcbFlagsSet;
  dcb.XonLim = static_cast<uint16_t>(rxQueueSize / 4);
  dcb.XoffLim = static_cast<uint16_t>(txQueueSize / 4);
  dcb.EofChar = 0;
  if (!api.SetCommState(portHandle, dcb)) {
    DeviceFailed();
    return false;
  }

  if (!api.SetCommTimeouts(portHandle, timeouts)) {
    DeviceFailed();
    return false;
  }

  // No I/O is pending between operations, so the old events can go.
  RenewEvent(readIo);
  RenewEvent(writeIo);
  return true;
}

void CSerial::RenewEvent(CommIo& io) {
  if (io.event != kNoCommHandle) {
    api.CloseHandle(io.event);
  }
  io = CommIo{};
  // A failed creation leaves the record without an event; its operation
  // then refuses to run.
  io.event = api.CreateEventA();
}

uint32_t CSerial::Read(void* buffer, uint32_t count) {
  if (readIo.event == kNoCommHandle || count == 0 || portHandle == kNoCommHandle || Lost()) {
    return 0;
  }
  CommStatus status;
  if (!api.ClearCommError(portHandle, status)) {
    DeviceFailed();
    return 0;
  }
  // Never more than has already arrived, so the read does not wait for data.
  const uint32_t wanted = status.cbInQue < count ? status.cbInQue : count;
  if (wanted == 0) {
    return 0;
  }
  uint32_t transferred = 0;
  switch (api.ReadFile(portHandle, buffer, wanted, transferred, readIo)) {
    case CommIoResult::kDone:
      return transferred;
    case CommIoResult::kPending:
      if (api.GetOverlappedResult(portHandle, readIo, transferred)) return transferred;
      break;
    case CommIoResult::kFailed:
      break;
  }
  DeviceFailed();
  return 0;
}

bool CSerial::WaitForInput(uint32_t timeoutMs) {
  if (readIo.event == kNoCommHandle || portHandle == kNoCommHandle || Lost()) {
    return false;
  }
  // The read record is free between reads; the wait leaves it free again.
  if (api.WaitForInput(portHandle, readIo, timeoutMs)) {
    return true;
  }
  DeviceFailed();
  return false;
}

uint32_t CSerial::Write(const void* buffer, uint32_t count) {
  if (count == 0) {
    return 0;
  }
  return WriteBytes(buffer, count);
}

uint32_t CSerial::WriteString(const std::string& text) {
  if (text.empty()) {
    return 0;
  }
  // A length beyond 32 bits saturates; the room test refuses it like any
  // other write that does not fit.
  const uint64_t length = text.size();
  const uint32_t count = length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
  return WriteBytes(text.data(), count);
}

uint32_t CSerial::WriteBytes(const void* buffer, uint32_t count) {
  if (writeIo.event == kNoCommHandle || portHandle == kNoCommHandle || Lost()) {
    return 0;
  }
  CommStatus status;
  if (!api.ClearCommError(portHandle, status)) {
    DeviceFailed();
    return 0;
  }
  // Unsigned arithmetic, as the device reports it: the write must be strictly
  // smaller than the room, so one that would exactly fill it is refused.
  const uint32_t room = txQueueSize - status.cbOutQue;
  if (room <= count) {
    return 0;
  }
  uint32_t transferred = 0;
  switch (api.WriteFile(portHandle, buffer, count, transferred, writeIo)) {
    case CommIoResult::kDone:
      break;
    case CommIoResult::kPending:
      // With no write time-out this lasts until the device has taken every byte.
      if (!api.GetOverlappedResult(portHandle, writeIo, transferred)) {
        DeviceFailed();
        return 0;
      }
      break;
    case CommIoResult::kFailed:
      DeviceFailed();
      return 0;
  }
  return transferred == count ? count : 0;
}

void CSerial::Purge() {
  if (portHandle == kNoCommHandle || Lost()) {
    return;
  }
  CommStatus status;
  if (!api.ClearCommError(portHandle, status)) {
    DeviceFailed();
    return;
  }
  if (status.cbInQue == 0) {
    return;
  }
  std::unique_ptr<unsigned char[]> scratch(new (std::nothrow) unsigned char[status.cbInQue]);
  if (!scratch) {
    return;
  }
  // Read takes at most what was waiting now; later arrivals stay queued.
  Read(scratch.get(), status.cbInQue);
}

bool CSerial::Close() {
  if (portHandle == kNoCommHandle) {
    return false;
  }
  const bool released = api.CloseHandle(portHandle);
  portHandle = kNoCommHandle;
  return released;
}
