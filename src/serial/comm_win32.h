// The serial device on Windows (comm_win32.cpp), over a table of the Win32
// communications calls it makes, so that their order and arguments can be
// checked against a scripted table.
#pragma once

#include <windows.h>

#include <memory>

#include "serial/serial_device.h"

struct Win32CommCalls {
  decltype(&::CreateFileA) CreateFileA = ::CreateFileA;
  decltype(&::GetCommProperties) GetCommProperties = ::GetCommProperties;
  decltype(&::SetupComm) SetupComm = ::SetupComm;
  decltype(&::GetCommState) GetCommState = ::GetCommState;
  decltype(&::SetCommState) SetCommState = ::SetCommState;
  decltype(&::SetCommTimeouts) SetCommTimeouts = ::SetCommTimeouts;
  decltype(&::ClearCommError) ClearCommError = ::ClearCommError;
  decltype(&::ReadFile) ReadFile = ::ReadFile;
  decltype(&::WriteFile) WriteFile = ::WriteFile;
  decltype(&::GetOverlappedResult) GetOverlappedResult = ::GetOverlappedResult;
  decltype(&::SetCommMask) SetCommMask = ::SetCommMask;
  decltype(&::WaitCommEvent) WaitCommEvent = ::WaitCommEvent;
  decltype(&::WaitForSingleObject) WaitForSingleObject = ::WaitForSingleObject;
  decltype(&::CreateEventA) CreateEventA = ::CreateEventA;
  decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
  decltype(&::GetLastError) GetLastError = ::GetLastError;
  decltype(&::SetLastError) SetLastError = ::SetLastError;
};

// A closed device that makes its calls through `calls`.
std::unique_ptr<SerialDevice> NewWin32SerialDevice(const Win32CommCalls& calls);
