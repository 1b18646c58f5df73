// The firmware file on POSIX: stat(2) tells the kind and identity of a file.
#include "srecord/input_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// The kernel's own file systems, whose "regular" files are interfaces: a read
// of /proc/kmsg waits for the next kernel message, and takes it from the log.
constexpr long kProcFileSystem = 0x9fa0;
constexpr long kSysFileSystem = 0x62656572;

bool OnKernelFileSystem(int fd) {
  struct statfs info {};
  return fstatfs(fd, &info) == 0 &&
         (static_cast<long>(info.f_type) == kProcFileSystem ||
          static_cast<long>(info.f_type) == kSysFileSystem);
}

FileKind KindOf(const struct stat& info) {
  if (S_ISREG(info.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(info.st_mode)) return FileKind::kDirectory;
  return FileKind::kOther;
}

FileIdentity IdentityOf(const struct stat& info) {
  FileIdentity identity;
  identity.volume = static_cast<uint64_t>(info.st_dev);
  identity.index = static_cast<uint64_t>(info.st_ino);
  identity.size = static_cast<int64_t>(info.st_size);
  identity.modified = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                      static_cast<int64_t>(info.st_mtim.tv_nsec);
  identity.changed = static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 +
                     static_cast<int64_t>(info.st_ctim.tv_nsec);
  return identity;
}

}  // namespace

FileHandle OpenRegularFile(const std::string& name, FileKind& kind, int& openError) {
  kind = FileKind::kMissing;
  openError = 0;
  // Opened without waiting, then looked at: a FIFO must not hold the open
  // until a writer comes, and the kind is that of what was really opened.
  const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    openError = errno;
    struct stat info {};
    if (stat(name.c_str(), &info) == 0) kind = KindOf(info);
    return FileHandle();
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    close(fd);
    return FileHandle();
  }
  kind = KindOf(info);
  if (kind == FileKind::kRegular && OnKernelFileSystem(fd)) kind = FileKind::kOther;
  // The descriptor stays non-blocking: a file whose read would wait then
  // fails to read, and is refused, instead of holding the run.
  if (kind != FileKind::kRegular) {
    close(fd);
    return FileHandle();
  }
  FileHandle file(fdopen(fd, "rb"));
  if (!file) close(fd);
  return file;
}

FileKind KindOfFile(const std::string& name) {
  struct stat info {};
  return stat(name.c_str(), &info) == 0 ? KindOf(info) : FileKind::kMissing;
}

bool IdentityOfOpenFile(std::FILE* file, FileIdentity& identity) {
  struct stat info {};
  if (file == nullptr || fstat(fileno(file), &info) != 0) return false;
  identity = IdentityOf(info);
  return true;
}

bool IdentityOfPath(const std::string& name, FileIdentity& identity) {
  struct stat info {};
  if (stat(name.c_str(), &info) != 0) return false;
  identity = IdentityOf(info);
  return true;
}
