#include <windows.h>

#include "console/wide_text_win32.h"
#include "run/flash_record.h"

// Names as UTF-8 from the wide calls, whatever the ANSI code page: the record
// is UTF-8 and a name outside that code page would be lost.
std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &size) ? Utf8Text(name) : "";
}

unsigned long ProcessId() { return GetCurrentProcessId(); }

std::string UserName() {
  wchar_t name[257] = {};
  DWORD size = 257;
  return GetUserNameW(name, &size) ? Utf8Text(name) : "";
}

namespace {

// Opened with the right to append only, every write goes to the end of the
// file as it is then, whoever else appends meanwhile. Shared for deletion
// too, so that a log can be rotated (renamed) while a loader holds it. A
// sharing violation or a lock is usually brief (a virus scanner, a backup
// reading the log): a few tries, 100 ms apart, before the record is given up.
HANDLE OpenLog(const std::string& path) {
  constexpr int kTries = 5;
  constexpr DWORD kRetryMs = 100;
  for (int tries = 1;; ++tries) {
    const HANDLE file = CreateFileW(WideText(path).c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE || tries == kTries ||
        (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION)) {
      return file;
    }
    Sleep(kRetryMs);
  }
}

}  // namespace

bool AppendToLog(const std::string& path, const std::string& line, std::string& error) {
  const HANDLE file = OpenLog(path);
  if (file == INVALID_HANDLE_VALUE) {
    error = "error " + std::to_string(GetLastError());
    return false;
  }
  // Windows writes each append of a handle opened for appending only whole at
  // the end, but wine seeks to the end and writes, so two loaders ending at
  // once can write over each other's record. A lock on one byte far past any
  // log's end makes the appends take turns; should it not come within about a
  // second (or not be had at all), the record is written all the same.
  OVERLAPPED turn = {};
  turn.Offset = 0xFFFFFFFEu;
  turn.OffsetHigh = 0x7FFFFFFFu;
  bool locked = false;
  for (int tries = 0; tries < 100 && !locked; ++tries) {
    locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &turn);
    if (!locked && GetLastError() != ERROR_LOCK_VIOLATION) break;
    if (!locked) Sleep(10);
  }
  DWORD written = 0;
  if (!WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
    error = "error " + std::to_string(GetLastError());
  } else if (written != line.size()) {
    error = "the record was cut short (disk full?)";
  }
  if (locked) UnlockFileEx(file, 0, 1, 0, &turn);
  CloseHandle(file);
  return error.empty();
}
