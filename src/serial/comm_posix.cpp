// The serial device on POSIX systems: termios and ioctl behind CommApi.
//
// Every transfer finishes inside the call (never kPending): reads take only
// what the driver has already counted, writes loop until the driver has taken
// every byte. Events therefore carry no state; they exist so that handles
// behave as on Win32.
#include "serial/comm_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "serial/comm_api.h"

namespace {

// ---------------------------------------------------------------- names

const char kComPrefix[] = "\\\\.\\COM";

std::string ComPortPath(const std::string& digits) {
  if (digits.empty() || digits.size() > 9) {
    return std::string();  // nine digits keep the number well inside 32 bits
  }
  unsigned long number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') {
      return std::string();
    }
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  if (number < 1) {
    return std::string();
  }
  return "/dev/ttyS" + std::to_string(number - 1);
}

// ---------------------------------------------------------------- error codes

// The Win32 code for an open that failed: nothing behind the name (EIO: a
// serial port node without its hardware), no permission, or in use (another
// opener's lock or exclusive mode; Windows says access denied).
uint32_t OpenErrorCode(int error) {
  switch (error) {
    case ENOENT: case ENOTDIR: case ENXIO: case ENODEV: case EIO: return kErrorFileNotFound;
    case EACCES: case EPERM: case EROFS: return kErrorPrivilegeNotHeld;
    case EBUSY: case EWOULDBLOCK: return kErrorAccessDenied;
    case EISDIR: return kErrorInvalidFunction;
    default: return kErrorPosixBase + static_cast<uint32_t>(error);
  }
}

// The Win32 code for a call on an open device that failed: the device has
// gone (ENXIO, ENODEV; EIO is what a terminal gives once it has been hung up,
// by a removed adapter or by the line's other end, sometimes before poll
// reports the hang-up), or it is no terminal at all (ENOTTY).
uint32_t DeviceErrorCode(int error) {
  switch (error) {
    case EIO: case ENXIO: case ENODEV: return kErrorDeviceRemoved;
    case ENOTTY: return kErrorInvalidFunction;
    default: return kErrorPosixBase + static_cast<uint32_t>(error);
  }
}

// ---------------------------------------------------------------- handles

struct PosixObject {
  virtual ~PosixObject() = default;
  // Releases what the object holds; false when the system reported an error.
  virtual bool Release() { return true; }
};

struct PosixEvent : PosixObject {};

struct PosixPort : PosixObject {
  explicit PosixPort(int descriptor) : fd(descriptor) {}
  ~PosixPort() override {
    if (fd >= 0) {
      PosixPort::Release();
    }
  }
  PosixPort(const PosixPort&) = delete;
  PosixPort& operator=(const PosixPort&) = delete;

  bool Release() override {
    const int closing = fd;
    fd = -1;
    // The exclusive mode belongs to the terminal, not to this descriptor: it
    // would outlive the close while anything else holds the terminal open.
    // Only the opener that set it clears it: a loader refused the port must
    // not unlock it for the one that holds it.
    if (exclusive) ioctl(closing, TIOCNXCL);
    // The descriptor is gone after close() even when it reports EINTR.
    return ::close(closing) == 0 || errno == EINTR;
  }

  int fd;
  bool exclusive = false;  // this opener set the terminal's exclusive mode
  CommTimeouts timeouts;
  // The DCB members termios has no place for (queue limits, special
  // characters), kept as last set so that GetCommState gives them back.
  CommDcb kept;
  bool dtrRaised = false;
  bool rtsRaised = false;
};

// ---------------------------------------------------------------- baud rates

struct BaudRate {
  uint32_t rate;
  speed_t speed;
};

constexpr BaudRate kBaudRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool SpeedForRate(uint32_t rate, speed_t& speed) {
  for (const BaudRate& entry : kBaudRates) {
    if (entry.rate == rate) {
      speed = entry.speed;
      return true;
    }
  }
  return false;
}

uint32_t RateForSpeed(speed_t speed) {
  for (const BaudRate& entry : kBaudRates) {
    if (entry.speed == speed) {
      return entry.rate;
    }
  }
  return 0;
}

// ---------------------------------------------------------------- termios from a DCB

#ifdef CMSPAR
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;
#endif

bool CharacterSizeFlag(uint8_t byteSize, tcflag_t& flag) {
  switch (byteSize) {
    case 5: flag = CS5; return true;
    case 6: flag = CS6; return true;
    case 7: flag = CS7; return true;
    case 8: flag = CS8; return true;
    default: return false;
  }
}

bool ParityFlags(uint8_t parity, tcflag_t& flags) {
  switch (parity) {
    case 0: flags = 0; return true;
    case 1: flags = PARENB | PARODD; return true;
    case 2: flags = PARENB; return true;
    case 3: flags = PARENB | PARODD | kStickParity; return kStickParity != 0;  // mark
    case 4: flags = PARENB | kStickParity; return kStickParity != 0;           // space
    default: return false;
  }
}

bool StopBitsFlag(uint8_t stopBits, tcflag_t& flag) {
  switch (stopBits) {
    case 0: flag = 0; return true;
    case 2: flag = CSTOPB; return true;
    default: return false;  // one and a half stop bits do not exist here
  }
}

// Raw 8-bit transfer with the line settings of `dcb`: no echo, no character
// translation, reads that return at once (VMIN = VTIME = 0), modem status
// lines ignored, DTR kept on close.
bool BuildTermios(const CommDcb& dcb, termios& tio) {
  speed_t speed;
  tcflag_t size;
  tcflag_t parityFlags;
  tcflag_t stopFlag;
  if (!SpeedForRate(dcb.BaudRate, speed) || !CharacterSizeFlag(dcb.ByteSize, size) ||
      !ParityFlags(dcb.Parity, parityFlags) || !StopBitsFlag(dcb.StopBits, stopFlag)) {
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | kStickParity | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CLOCAL | CREAD | size | parityFlags | stopFlag;
  if ((dcb.flags & kDcbOutxCtsFlow) != 0) {
    tio.c_cflag |= CRTSCTS;
  }
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if ((dcb.flags & kDcbOutX) != 0) {
    tio.c_iflag |= IXON;
  }
  if ((dcb.flags & kDcbInX) != 0) {
    tio.c_iflag |= IXOFF;
  }
  if ((dcb.flags & kDcbParity) != 0 && dcb.Parity != 0) {
    tio.c_iflag |= INPCK;
  }
  tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0;
}

// True when the device holds what was asked of it (tcsetattr succeeds when
// any part of the request was taken).
bool SameSettings(const termios& wanted, const termios& got) {
  constexpr tcflag_t kCflags =
      CSIZE | PARENB | PARODD | kStickParity | CSTOPB | CRTSCTS | CLOCAL | CREAD | HUPCL;
  constexpr tcflag_t kIflags =
      IXON | IXOFF | IXANY | INPCK | ICRNL | INLCR | IGNCR | ISTRIP | IGNBRK | BRKINT | PARMRK;
  constexpr tcflag_t kLflags = ICANON | ECHO | ISIG | IEXTEN;
  return (wanted.c_cflag & kCflags) == (got.c_cflag & kCflags) &&
         (wanted.c_iflag & kIflags) == (got.c_iflag & kIflags) &&
         (wanted.c_oflag & OPOST) == (got.c_oflag & OPOST) &&
         (wanted.c_lflag & kLflags) == (got.c_lflag & kLflags) &&
         wanted.c_cc[VMIN] == got.c_cc[VMIN] && wanted.c_cc[VTIME] == got.c_cc[VTIME] &&
         cfgetispeed(&wanted) == cfgetispeed(&got) && cfgetospeed(&wanted) == cfgetospeed(&got);
}

// A pseudo-terminal has no modem lines and answers ENOTTY or EINVAL.
bool ModemLineIoctl(int fd, unsigned long request, int lines) {
  if (lines == 0) {
    return true;
  }
  return ioctl(fd, request, &lines) == 0 || errno == ENOTTY || errno == EINVAL;
}

bool SetModemLines(PosixPort& port, uint32_t flags) {
  const uint32_t dtr = flags & kDcbDtrControlMask;
  const uint32_t rts = flags & kDcbRtsControlMask;
  // Handshake modes start with the line raised; with CRTSCTS the driver then
  // drives RTS itself.
  const bool dtrOn = dtr != kDcbDtrControlDisable;
  const bool rtsOn = rts != kDcbRtsControlDisable;
  const int raise = (dtrOn ? TIOCM_DTR : 0) | (rtsOn ? TIOCM_RTS : 0);
  const int lower = (dtrOn ? 0 : TIOCM_DTR) | (rtsOn ? 0 : TIOCM_RTS);
  if (!ModemLineIoctl(port.fd, TIOCMBIS, raise) || !ModemLineIoctl(port.fd, TIOCMBIC, lower)) {
    return false;
  }
  port.dtrRaised = dtrOn;
  port.rtsRaised = rtsOn;
  return true;
}

// ---------------------------------------------------------------- a DCB from termios

uint8_t ByteSizeOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
  }
}

uint8_t ParityOf(tcflag_t cflag) {
  if ((cflag & PARENB) == 0) {
    return 0;
  }
  const bool odd = (cflag & PARODD) != 0;
  if (kStickParity != 0 && (cflag & kStickParity) != 0) {
    return odd ? 3 : 4;
  }
  return odd ? 1 : 2;
}

uint32_t FlagsOf(const termios& tio, const PosixPort& port) {
  uint32_t flags = kDcbBinary;
  if ((tio.c_iflag & INPCK) != 0) flags |= kDcbParity;
  if ((tio.c_iflag & IXON) != 0) flags |= kDcbOutX;
  if ((tio.c_iflag & IXOFF) != 0) flags |= kDcbInX;
  // Without modem lines (a pseudo-terminal) the lines are as last set.
  int lines = 0;
  const bool haveLines = ioctl(port.fd, TIOCMGET, &lines) == 0;
  if ((tio.c_cflag & CRTSCTS) != 0) {
    flags |= kDcbOutxCtsFlow | kDcbRtsControlHandshake;
  } else if (haveLines ? (lines & TIOCM_RTS) != 0 : port.rtsRaised) {
    flags |= kDcbRtsControlEnable;
  }
  if (haveLines ? (lines & TIOCM_DTR) != 0 : port.dtrRaised) {
    flags |= kDcbDtrControlEnable;
  }
  return flags;
}

void DcbFromTermios(const termios& tio, const PosixPort& port, CommDcb& dcb) {
  dcb = port.kept;
  dcb.BaudRate = RateForSpeed(cfgetospeed(&tio));
  dcb.flags = FlagsOf(tio, port);
  dcb.ByteSize = ByteSizeOf(tio.c_cflag);
  dcb.Parity = ParityOf(tio.c_cflag);
  dcb.StopBits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 0;
  dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
}

// ---------------------------------------------------------------- waiting

bool PollOnce(int fd, short events, int timeoutMs, short& revents) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int ready = poll(&entry, 1, timeoutMs);
    if (ready >= 0) {
      revents = ready == 0 ? 0 : entry.revents;
      return true;
    }
    if (errno != EINTR) {
      return false;
    }
  }
}

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until the device takes more output. Waits in slices, so that a device
// that goes away while the output is stuck ends the wait at once. False when
// the deadline (if any, 0 = none) has passed, or when the device has gone,
// with `error` set.
bool WaitWritable(int fd, int64_t deadlineMs, uint32_t& error) {
  constexpr int kSliceMs = 1000;
  for (;;) {
    int sliceMs = kSliceMs;
    if (deadlineMs != 0) {
      const int64_t left = deadlineMs - MonotonicMs();
      if (left <= 0) {
        return false;
      }
      sliceMs = left < kSliceMs ? static_cast<int>(left) : kSliceMs;
    }
    short revents = 0;
    if (!PollOnce(fd, POLLOUT, sliceMs, revents)) {
      error = DeviceErrorCode(errno);
      return false;
    }
    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      error = kErrorDeviceRemoved;
      return false;
    }
    if ((revents & POLLOUT) != 0) {
      return true;
    }
  }
}

void StoreTransferred(CommIo& io, uint32_t transferred) {
  std::memcpy(io.platformBlock, &transferred, sizeof transferred);
}

// ---------------------------------------------------------------- the backend

class PosixCommApi final : public CommApi {
 public:
  CommHandle CreateFileA(const std::string& deviceName) override {
    const std::string path = PosixDevicePath(deviceName);
    if (path.empty()) {
      lastError_ = kErrorFileNotFound;
      return kInvalidCommHandle;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      lastError_ = OpenErrorCode(errno);
      return kInvalidCommHandle;
    }
    auto port = std::make_unique<PosixPort>(fd);
    // The lock keeps out every other program that locks, root included;
    // TIOCEXCL keeps out the others, except root. A port not got is left as
    // it was found.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      lastError_ = OpenErrorCode(errno);
      return kInvalidCommHandle;
    }
    port->exclusive = ioctl(fd, TIOCEXCL) == 0;
    if (!port->exclusive && errno != ENOTTY && errno != EINVAL) {
      lastError_ = OpenErrorCode(errno);
      return kInvalidCommHandle;
    }
    return Register(std::move(port));
  }

  bool GetCommProperties(CommHandle handle, CommProperties& properties) override {
    if (PortOf(handle) == nullptr) {
      return Fail(kErrorInvalidHandle);
    }
    properties = CommProperties{};  // the kernel's queues have no size to ask for
    return true;
  }

  bool SetupComm(CommHandle handle, uint32_t, uint32_t) override {
    return PortOf(handle) != nullptr || Fail(kErrorInvalidHandle);
  }

  bool GetCommState(CommHandle handle, CommDcb& dcb) override {
    PosixPort* port = PortOf(handle);
    termios tio{};
    if (port == nullptr) {
      return Fail(kErrorInvalidHandle);
    }
    if (tcgetattr(port->fd, &tio) != 0) {
      return Fail(DeviceErrorCode(errno));
    }
    DcbFromTermios(tio, *port, dcb);
    return true;
  }

  bool SetCommState(CommHandle handle, const CommDcb& dcb) override {
    PosixPort* port = PortOf(handle);
    termios wanted{};
    termios got{};
    if (port == nullptr) {
      return Fail(kErrorInvalidHandle);
    }
    if (tcgetattr(port->fd, &wanted) != 0) {
      return Fail(DeviceErrorCode(errno));
    }
    if (!BuildTermios(dcb, wanted)) {
      return Fail(kErrorInvalidParameter);
    }
    if (tcsetattr(port->fd, TCSANOW, &wanted) != 0 || tcgetattr(port->fd, &got) != 0) {
      return Fail(DeviceErrorCode(errno));
    }
    if (!SameSettings(wanted, got)) {
      return Fail(kErrorInvalidParameter);
    }
    if (!SetModemLines(*port, dcb.flags)) {
      return Fail(DeviceErrorCode(errno));
    }
    port->kept = dcb;
    return true;
  }

  bool SetCommTimeouts(CommHandle handle, const CommTimeouts& timeouts) override {
    PosixPort* port = PortOf(handle);
    if (port == nullptr) {
      return Fail(kErrorInvalidHandle);
    }
    port->timeouts = timeouts;  // reads never wait; only writes use them
    return true;
  }

  bool ClearCommError(CommHandle handle, CommStatus& status) override {
    PosixPort* port = PortOf(handle);
    short revents = 0;
    if (port == nullptr) {
      return Fail(kErrorInvalidHandle);
    }
    if (!PollOnce(port->fd, POLLIN, 0, revents)) {
      return Fail(DeviceErrorCode(errno));
    }
    if ((revents & POLLNVAL) != 0) {
      return Fail(kErrorInvalidHandle);
    }
    // A hung-up device (the adapter removed, the line's other end closed) is
    // gone once nothing is left to read; a hung-up terminal refuses FIONREAD.
    const bool hungUp = (revents & (POLLHUP | POLLERR)) != 0;
    int waitingIn = 0;
    int waitingOut = 0;
    if (ioctl(port->fd, FIONREAD, &waitingIn) != 0 ||
        ioctl(port->fd, TIOCOUTQ, &waitingOut) != 0) {
      return Fail(hungUp ? kErrorDeviceRemoved : DeviceErrorCode(errno));
    }
    if (hungUp && waitingIn <= 0) {
      return Fail(kErrorDeviceRemoved);
    }
    status.cbInQue = waitingIn > 0 ? static_cast<uint32_t>(waitingIn) : 0;
    status.cbOutQue = waitingOut > 0 ? static_cast<uint32_t>(waitingOut) : 0;
    return true;
  }

  CommIoResult ReadFile(CommHandle handle, void* buffer, uint32_t count, uint32_t& transferred,
                        CommIo& io) override {
    PosixPort* port = PortOf(handle);
    if (port == nullptr) {
      lastError_ = kErrorInvalidHandle;
      return CommIoResult::kFailed;
    }
    for (;;) {
      const ssize_t got = read(port->fd, buffer, count);
      if (got > 0) {
        transferred = static_cast<uint32_t>(got);
        break;
      }
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        transferred = 0;  // taken by someone else after all
        break;
      }
      // End of file while bytes were counted: the device hung up.
      lastError_ = got == 0 ? kErrorDeviceRemoved : DeviceErrorCode(errno);
      return CommIoResult::kFailed;
    }
    StoreTransferred(io, transferred);
    return CommIoResult::kDone;
  }

  CommIoResult WriteFile(CommHandle handle, const void* buffer, uint32_t count,
                         uint32_t& transferred, CommIo& io) override {
    PosixPort* port = PortOf(handle);
    if (port == nullptr) {
      lastError_ = kErrorInvalidHandle;
      return CommIoResult::kFailed;
    }
    const int64_t deadlineMs = WriteDeadline(port->timeouts, count);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
      const ssize_t put = write(port->fd, bytes + done, count - done);
      if (put > 0) {
        done += static_cast<uint32_t>(put);
        continue;
      }
      if (put < 0 && errno == EINTR) {
        continue;
      }
      if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        uint32_t error = 0;
        if (WaitWritable(port->fd, deadlineMs, error)) {
          continue;
        }
        if (error == 0) {
          break;  // a write time-out ends the write short, as a serial driver does
        }
        lastError_ = error;
        return CommIoResult::kFailed;
      }
      lastError_ = DeviceErrorCode(errno);
      return CommIoResult::kFailed;
    }
    transferred = done;
    StoreTransferred(io, transferred);
    return CommIoResult::kDone;
  }

  bool GetOverlappedResult(CommHandle handle, CommIo& io, uint32_t& transferred) override {
    if (PortOf(handle) == nullptr) {
      return Fail(kErrorInvalidHandle);
    }
    // Transfers finish inside ReadFile/WriteFile; this gives the last count.
    std::memcpy(&transferred, io.platformBlock, sizeof transferred);
    return true;
  }

  bool WaitForInput(CommHandle handle, CommIo&, uint32_t timeoutMs) override {
    PosixPort* port = PortOf(handle);
    if (port == nullptr) {
      return Fail(kErrorInvalidHandle);
    }
    constexpr uint32_t kLongestMs = 1u << 30;  // well inside poll()'s int
    pollfd entry{port->fd, POLLIN, 0};
    // A signal ends the sleep early (EINTR) on purpose: the caller looks at
    // its deadline, and at whatever the signal meant, before sleeping again.
    // A hang-up ends it too; the caller's next status query finds it.
    if (poll(&entry, 1, static_cast<int>(timeoutMs < kLongestMs ? timeoutMs : kLongestMs)) < 0 &&
        errno != EINTR) {
      return Fail(DeviceErrorCode(errno));
    }
    return true;
  }

  CommHandle CreateEventA() override { return Register(std::make_unique<PosixEvent>()); }

  bool CloseHandle(CommHandle handle) override {
    const auto found = objects_.find(handle);
    if (found == objects_.end()) {
      return Fail(kErrorInvalidHandle);
    }
    const bool released = found->second->Release();
    objects_.erase(found);
    return released || Fail(DeviceErrorCode(errno));
  }

  uint32_t GetLastError() override { return lastError_; }

 private:
  static int64_t WriteDeadline(const CommTimeouts& timeouts, uint32_t count) {
    const int64_t totalMs = static_cast<int64_t>(timeouts.WriteTotalTimeoutMultiplier) * count +
                            timeouts.WriteTotalTimeoutConstant;
    return totalMs == 0 ? 0 : MonotonicMs() + totalMs;
  }

  CommHandle Register(std::unique_ptr<PosixObject> object) {
    const CommHandle handle = nextHandle_++;
    objects_.emplace(handle, std::move(object));
    return handle;
  }

  PosixPort* PortOf(CommHandle handle) const {
    const auto found = objects_.find(handle);
    return found == objects_.end() ? nullptr : dynamic_cast<PosixPort*>(found->second.get());
  }

  // Records why the call failed, for GetLastError; returns false.
  bool Fail(uint32_t error) {
    lastError_ = error;
    return false;
  }

  std::map<CommHandle, std::unique_ptr<PosixObject>> objects_;
  uint32_t lastError_ = 0;
  CommHandle nextHandle_ = 1;  // never reused, never 0 or all ones in practice
};

}  // namespace

std::string PosixDevicePath(const std::string& deviceName) {
  const size_t prefixLength = sizeof kComPrefix - 1;
  if (deviceName.compare(0, prefixLength, kComPrefix) == 0) {
    return ComPortPath(deviceName.substr(prefixLength));
  }
  return deviceName;
}

CommApi& PlatformCommApi() {
  static PosixCommApi api;
  return api;
}
