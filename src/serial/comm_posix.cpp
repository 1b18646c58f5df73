// The serial device on POSIX systems: a terminal in raw mode through termios,
// waited on with poll(). Reads take only what the driver has already counted;
// writes loop until the driver has taken every byte.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "console/clock.h"
#include "serial/port_name.h"
#include "serial/serial_device.h"

namespace {

SerialError Fault(SerialFault fault, int error) { return {fault, static_cast<uint32_t>(error)}; }

// Why an open failed: nothing behind the name (EIO: a serial port node
// without its hardware), no permission, or in use (another opener's lock or
// exclusive mode).
SerialError OpenError(int error) {
  switch (error) {
    case ENOENT: case ENOTDIR: case ENXIO: case ENODEV: case EIO:
      return Fault(SerialFault::kNotFound, error);
    case EACCES: case EPERM: case EROFS: return Fault(SerialFault::kPermission, error);
    case EBUSY: case EWOULDBLOCK: return Fault(SerialFault::kInUse, error);
    case EISDIR: return Fault(SerialFault::kNotSerial, error);
    default: return Fault(SerialFault::kOther, error);
  }
}

// Why a call on an open device failed: the device has gone (ENXIO, ENODEV;
// EIO is what a terminal gives once it has been hung up, by a removed adapter
// or by the line's other end, sometimes before poll reports the hang-up), or
// it is no terminal at all (ENOTTY).
SerialError DeviceError(int error) {
  switch (error) {
    case EIO: case ENXIO: case ENODEV: return Fault(SerialFault::kGone, error);
    case ENOTTY: return Fault(SerialFault::kNotSerial, error);
    default: return Fault(SerialFault::kOther, error);
  }
}

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
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B4000000  // Linux: all rates up to 4 Mbaud
    {500000, B500000},   {576000, B576000},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
#endif
};

#ifdef CMSPAR
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;
#endif

// The termios flags of the line's character format; false for what a
// terminal cannot do (an unknown rate, 1.5 stop bits, mark or space parity
// without CMSPAR).
bool FormatFlags(const LineSettings& line, speed_t& speed, tcflag_t& cflags) {
  bool known = false;
  for (const BaudRate& entry : kBaudRates) {
    if (entry.rate == line.baudRate) speed = entry.speed, known = true;
  }
  constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  const unsigned sizeIndex = static_cast<unsigned>(line.dataBits) - 5;
  if (sizeIndex >= 4) return false;
  cflags = kSizes[sizeIndex];
  switch (line.parity) {
    case Parity::kNone: break;
    case Parity::kOdd: cflags |= PARENB | PARODD; break;
    case Parity::kEven: cflags |= PARENB; break;
    case Parity::kMark: cflags |= PARENB | PARODD | kStickParity; known &= kStickParity != 0; break;
    case Parity::kSpace: cflags |= PARENB | kStickParity; known &= kStickParity != 0; break;
    default: return false;
  }
  if (line.stopBits == StopBits::kTwo) cflags |= CSTOPB;
  return known && line.stopBits != StopBits::kOneAndAHalf;
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

class PosixSerialDevice final : public SerialDevice {
 public:
  ~PosixSerialDevice() override { if (fd_ >= 0) PosixSerialDevice::Close(); }

  bool Open(const std::string& path) override {
    // A socket or a pipe is no serial device, whatever its open says; nor is
    // the pseudo-terminal multiplexer, whose open makes a new terminal.
    struct stat node {};
    if (stat(path.c_str(), &node) == 0 &&
        (!S_ISCHR(node.st_mode) || (major(node.st_rdev) == 5 && minor(node.st_rdev) == 2))) {
      return Fail(Fault(SerialFault::kNotSerial, ENOTTY));
    }
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return Fail(OpenError(errno));
    // The lock keeps out every other program that locks, root included;
    // TIOCEXCL keeps out the others, except root. A port not got is left as
    // it was found.
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) return FailClosing(OpenError(errno));
    exclusive_ = ioctl(fd_, TIOCEXCL) == 0;
    if (!exclusive_ && errno != ENOTTY && errno != EINVAL) return FailClosing(OpenError(errno));
    return true;
  }

  // Raw 8-bit transfer: no echo, no character translation, reads that return
  // at once (VMIN = VTIME = 0), modem status lines ignored, no flow control,
  // DTR kept on close; then DTR and RTS raised.
  bool Configure(const LineSettings& line) override {
    termios wanted{}, got{};
    speed_t speed = B0;
    tcflag_t format = 0;
    if (tcgetattr(fd_, &wanted) != 0) return FailClosing(DeviceError(errno));
    if (!FormatFlags(line, speed, format)) return Fail(Fault(SerialFault::kSettingsRefused, 0));
    cfmakeraw(&wanted);
    wanted.c_cflag &= ~(CSIZE | PARENB | PARODD | kStickParity | CSTOPB | CRTSCTS | HUPCL);
    wanted.c_cflag |= CLOCAL | CREAD | format;
    wanted.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    if (line.parity != Parity::kNone) wanted.c_iflag |= INPCK;
    wanted.c_cc[VMIN] = 0;
    wanted.c_cc[VTIME] = 0;
    if (cfsetispeed(&wanted, speed) != 0 || cfsetospeed(&wanted, speed) != 0) {
      return Fail(Fault(SerialFault::kSettingsRefused, errno));
    }
    if (tcsetattr(fd_, TCSANOW, &wanted) != 0 || tcgetattr(fd_, &got) != 0) return FailDevice();
    if (!SameSettings(wanted, got)) return Fail(Fault(SerialFault::kSettingsRefused, 0));
    writeMsPerByte_ = WriteMsPerByte(line.baudRate);
    // A pseudo-terminal has no modem lines and answers ENOTTY or EINVAL.
    int lines = TIOCM_DTR | TIOCM_RTS;
    return ioctl(fd_, TIOCMBIS, &lines) == 0 || errno == ENOTTY || errno == EINVAL || FailDevice();
  }

  bool IsOpen() const override { return fd_ >= 0; }

  bool Read(void* buffer, uint32_t count, uint32_t& got) override {
    got = 0;
    // Never more than has already arrived, so the read does not wait for data.
    return Queues() && (in_ == 0 || Take(buffer, in_ < count ? in_ : count, got));
  }

  // A signal ends the sleep early (EINTR) on purpose: the caller looks at its
  // deadline, and at whatever the signal meant, before sleeping again. A
  // hang-up ends it too; the caller's next read finds it.
  bool WaitForInput(uint32_t timeoutMs) override {
    constexpr uint32_t kLongestMs = 1u << 30;  // well inside poll()'s int
    pollfd entry{fd_, POLLIN, 0};
    const int sleepMs = static_cast<int>(timeoutMs < kLongestMs ? timeoutMs : kLongestMs);
    return poll(&entry, 1, sleepMs) >= 0 || errno == EINTR || FailDevice();
  }

  bool Write(const void* buffer, uint32_t count, uint32_t& sent) override {
    sent = 0;
    if (!Queues()) return false;
    const int64_t deadlineMs =
        MonotonicMs() + int64_t{count} * writeMsPerByte_ + int64_t{kWriteSlackMs};
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (sent < count) {
      const ssize_t put = write(fd_, bytes + sent, count - sent);
      if (put > 0) {
        sent += static_cast<uint32_t>(put);
      } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!WaitWritable(deadlineMs)) return false;
      } else if (put >= 0 || errno != EINTR) {
        return FailDevice();
      }
    }
    return true;
  }

  bool Purge() override {
    unsigned char scratch[512];
    uint32_t got = 1;
    if (!Queues()) return false;
    // Only what was waiting now; later arrivals stay queued.
    for (uint32_t left = in_; left != 0 && got != 0; left -= got) {
      if (!Take(scratch, left < sizeof scratch ? left : sizeof scratch, got)) return false;
    }
    return true;
  }

  bool Close() override {
    const int closing = fd_;
    fd_ = -1;
    // The exclusive mode belongs to the terminal, not to this descriptor: it
    // would outlive the close while anything else holds the terminal open.
    // Only the opener that set it clears it: a loader refused the port must
    // not unlock it for the one that holds it.
    if (exclusive_) ioctl(closing, TIOCNXCL);
    exclusive_ = false;
    // The descriptor is gone after close() even when it reports EINTR.
    return ::close(closing) == 0 || errno == EINTR || FailDevice();
  }

  SerialError Error() const override { return error_; }

 private:
  bool Fail(const SerialError& error) { return error_ = error, false; }

  bool FailDevice() { return Fail(DeviceError(errno)); }

  bool FailClosing(const SerialError& error) { return Close(), Fail(error); }

  // The bytes waiting to be read. A hung-up device (the adapter removed, the
  // line's other end closed) is gone once nothing is left to read; a
  // hung-up terminal refuses FIONREAD.
  bool Queues() {
    pollfd entry{fd_, POLLIN, 0};
    int ready = 0;
    do ready = poll(&entry, 1, 0); while (ready < 0 && errno == EINTR);
    if (ready < 0) return FailDevice();
    if (ready > 0 && (entry.revents & POLLNVAL) != 0) return Fail(Fault(SerialFault::kOther, EBADF));
    const bool hungUp = ready > 0 && (entry.revents & (POLLHUP | POLLERR)) != 0;
    int waitingIn = 0;
    if (ioctl(fd_, FIONREAD, &waitingIn) != 0) {
      return Fail(hungUp ? Fault(SerialFault::kGone, errno) : DeviceError(errno));
    }
    if (hungUp && waitingIn <= 0) return Fail(Fault(SerialFault::kGone, 0));
    in_ = waitingIn > 0 ? static_cast<uint32_t>(waitingIn) : 0;
    return true;
  }

  // Reads what the driver has counted as arrived, up to `count` bytes.
  bool Take(void* buffer, uint32_t count, uint32_t& got) {
    for (got = 0;;) {
      const ssize_t n = read(fd_, buffer, count);
      if (n > 0) return got = static_cast<uint32_t>(n), true;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;  // taken by someone else
      // End of file while bytes were counted: the device hung up.
      return Fail(n == 0 ? Fault(SerialFault::kGone, 0) : DeviceError(errno));
    }
  }

  // Waits until the device takes more output, in slices, so that a device
  // that goes away while the output is stuck ends the wait at once. False
  // when the device has gone, or has taken nothing more by `deadlineMs`
  // (without flow control the line takes bytes at its rate: one that has
  // stopped is of no further use).
  bool WaitWritable(int64_t deadlineMs) {
    constexpr int kSliceMs = 1000;
    for (;;) {
      const int64_t left = deadlineMs - MonotonicMs();
      if (left <= 0) return Fail(Fault(SerialFault::kGone, ETIMEDOUT));
      const int sliceMs = left < kSliceMs ? static_cast<int>(left) : kSliceMs;
      pollfd entry{fd_, POLLOUT, 0};
      const int ready = poll(&entry, 1, sliceMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return FailDevice();
      if (ready > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return Fail(Fault(SerialFault::kGone, 0));
      }
      if (ready > 0 && (entry.revents & POLLOUT) != 0) return true;
    }
  }

  int fd_ = -1;
  uint32_t in_ = 0;  // bytes waiting to be read, as Queues last found
  uint32_t writeMsPerByte_ = 1;
  bool exclusive_ = false;  // this opener set the terminal's exclusive mode
  SerialError error_;
};

}  // namespace

std::string ComPortDevice(int number) { return "/dev/ttyS" + std::to_string(number - 1); }

std::string PortIdentity(const std::string& device) {
  // The device itself, whatever links lead to it: a character device by its
  // number, anything else by its resolved path.
  struct stat info {};
  if (stat(device.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
    return "char " + std::to_string(major(info.st_rdev)) + ":" +
           std::to_string(minor(info.st_rdev));
  }
  char* const resolved = realpath(device.c_str(), nullptr);
  if (resolved == nullptr) return device;
  std::string path(resolved);
  std::free(resolved);
  return path;
}

std::unique_ptr<SerialDevice> NewPlatformSerialDevice() {
  return std::make_unique<PosixSerialDevice>();
}
