// The Win32 serial device (comm_win32.cpp): translation of the device
// settings record between CommDcb and the Win32 DCB.
#pragma once

#include <windows.h>

#include "serial/comm_api.h"

// Every member, the flag word bit by bit into the DCB's bit fields (the bits
// above fAbortOnError into fDummy2); DCBlength is set to sizeof(DCB).
void ToWin32Dcb(const CommDcb& from, DCB& to);
// The reverse: CommDcb holds everything a DCB does but its length.
void FromWin32Dcb(const DCB& from, CommDcb& to);
