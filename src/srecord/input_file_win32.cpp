// The firmware file on Windows: the file system's own file index, last write
// and change times tell the identity of a file. Names are UTF-8 (the command
// line as ProgramArguments gives it) and reach the file system through the
// wide calls.
#include "srecord/input_file.h"

#include <errno.h>
#include <io.h>
#include <windows.h>

#include "console/wide_text_win32.h"

namespace {

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  FileIdentity identity;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity.size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) |
                                       info.nFileSizeLow);
  identity.modified = static_cast<int64_t>(
      (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  return identity;
}

// The change time of the file or its attributes, which no program can set
// back; 0 when the file system does not tell it.
int64_t ChangeTimeOf(HANDLE handle) {
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) return 0;
  return basic.ChangeTime.QuadPart;
}

// Opens the object a name stands for only to look at it: no data access, so
// a device or a pipe is not disturbed, and a directory can be opened too.
HANDLE OpenForLooking(const std::string& name) {
  return CreateFileW(WideText(name).c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

FileKind KindOfFile(const std::string& name) {
  const DWORD attributes = GetFileAttributesW(WideText(name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::kMissing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::kDirectory;
  const HANDLE handle = OpenForLooking(name);
  if (handle == INVALID_HANDLE_VALUE) return FileKind::kMissing;
  const DWORD type = GetFileType(handle);
  CloseHandle(handle);
  return type == FILE_TYPE_DISK ? FileKind::kRegular : FileKind::kOther;
}

FileHandle OpenRegularFile(const std::string& name, FileKind& kind, int& openError) {
  openError = 0;
  kind = KindOfFile(name);
  if (kind != FileKind::kRegular) return FileHandle();
  FileHandle file(_wfopen(WideText(name).c_str(), L"rb"));
  if (!file) openError = errno;
  return file;
}

bool IdentityOfOpenFile(std::FILE* file, FileIdentity& identity) {
  if (file == nullptr) return false;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return false;
  identity = IdentityOf(info);
  identity.changed = ChangeTimeOf(handle);
  return true;
}

bool IdentityOfPath(const std::string& name, FileIdentity& identity) {
  const HANDLE handle = OpenForLooking(name);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(handle, &info) != 0;
  if (ok) {
    identity = IdentityOf(info);
    identity.changed = ChangeTimeOf(handle);
  }
  CloseHandle(handle);
  return ok;
}
