#include <windows.h>

#include "run/flash_record.h"

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? name : "";
}

std::string UserName() {
  char name[257] = {};
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? name : "";
}

// Opened with the right to append only, every write goes to the end of the
// file as it is then, whoever else appends meanwhile.
bool AppendToLog(const std::string& path, const std::string& line, std::string& error) {
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = "error " + std::to_string(GetLastError());
    return false;
  }
  DWORD written = 0;
  if (!WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
    error = "error " + std::to_string(GetLastError());
  } else if (written != line.size()) {
    error = "the record was cut short (disk full?)";
  }
  CloseHandle(file);
  return error.empty();
}
