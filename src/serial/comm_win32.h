// The serial device on Windows (comm_win32.cpp), over a table of the Win32
// communications calls it makes, so that tests can stand a scripted device
// (one whose waits never end, whose driver refuses a request) behind it.
#pragma once

#include <windows.h>

#include <memory>

#include "serial/serial_device.h"

struct Win32CommCalls {
  decltype(&::CreateFileW) CreateFileW = ::CreateFileW;
  decltype(&::GetCommProperties) GetCommProperties = ::GetCommProperties;
  decltype(&::SetupComm) SetupComm = ::SetupComm;
  decltype(&::GetCommState) GetCommState = ::GetCommState;
  decltype(&::SetCommState) SetCommState = ::SetCommState;
  decltype(&::SetCommTimeouts) SetCommTimeouts = ::SetCommTimeouts;
  decltype(&::ClearCommError) ClearCommError = ::ClearCommError;
  decltype(&::ReadFile) ReadFile = ::ReadFile;
  decltype(&::WriteFile) WriteFile = ::WriteFile;
  decltype(&::GetOverlappedResult) GetOverlappedResult = ::GetOverlappedResult;
  decltype(&::CancelIo) CancelIo = ::CancelIo;
  decltype(&::SetCommMask) SetCommMask = ::SetCommMask;
  decltype(&::WaitCommEvent) WaitCommEvent = ::WaitCommEvent;
  decltype(&::WaitForSingleObject) WaitForSingleObject = ::WaitForSingleObject;
  decltype(&::CreateEventW) CreateEventW = ::CreateEventW;
  decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
  decltype(&::GetLastError) GetLastError = ::GetLastError;
};

// How long a pending operation may take to end once it has been told to
// (its wait mask cleared, or cancelled) before the next step is taken.
constexpr DWORD kWin32EndingMs = 1000;
// Beyond the time-out the driver was given, how long a read or a write is
// waited for before it is cancelled: time for a driver that keeps to its
// time-outs to end the operation itself.
constexpr DWORD kWin32DriverSlackMs = 1000;

// ERROR_NO_SUCH_DEVICE, which not every SDK's winerror.h has.
constexpr DWORD kErrorNoSuchDevice = 433;

// A closed device that makes its calls through `calls`.
std::unique_ptr<SerialDevice> NewWin32SerialDevice(const Win32CommCalls& calls);
