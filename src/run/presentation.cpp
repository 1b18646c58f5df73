#include "run/presentation.h"

#include <cstdio>
#include <cstring>

#include "run/console.h"

namespace {

const char kVersion[] = "1.02";
const char kRevisionDate[] = "$Date: 2005/09/18 20:09:12 $";

const char kUsage[] =
    "USAGE:  TALVORN [-option]  [drive:][path]filename[.ext]  [port]\n\n"
    "       option:\n"
    "           -p - Add pad byte to end of SRecord transmission.\n"
    "           -d - Print SRecord output debug information.\n"
    "           -v - Print verbose received data information.\n"
    "       drive: - drive containing flash hex file\n"
    "         path - DOS directory path to flash hex file\n"
    "     filename - filename of hex file to download\n"
    "         .ext - extension of hex file to download [default:  .abs]\n"
    "         port - serial communications port for download (1 = COM1, etc.)\n"
    "                  Default:  1\n\n"
    "TALVORN is used to upgrade Corvane Ostrivel and Harvel firmware.\n"
    "To use, you must have a valid S file (usually with extension .M0), and\n"
    "have valid communications via serial port to the instrument.\n";

const char kSpinner[4] = {'/', '-', '\\', '|'};

}  // namespace

void PrintBanner() {
  // The year of the notice is cut out of the revision keyword, so the two
  // never disagree.
  char year[5] = {};
  std::memcpy(year, kRevisionDate + 7, 4);
  std::printf("Ostrivel FLASH Version %s\n", kVersion);
  std::printf("Copyright (C) %s Corvane Instruments Ltd.  All rights reserved.\n", year);
  std::printf("\n");
  std::fflush(stdout);
}

void PrintUsage() {
  PrintBanner();
  std::fputs(kUsage, stdout);
  std::fflush(stdout);
}

void ReportFailure() {
  std::printf("\nFlash programming ... UNSUCCESSFUL\n");
  std::fflush(stdout);
  TheConsole().Beep(1000, 100);
}

void DrainKeyboard() {
  Console& console = TheConsole();
  while (console.KeyWaiting()) {
    if (console.ReadKey() < 0) break;
  }
}

int32_t ProgressPercent(int32_t bytesRead, int32_t fileSize) {
  if (fileSize <= 0) return 0;
  return static_cast<int32_t>(static_cast<int64_t>(bytesRead) * 100 / fileSize);
}

void ShowProgress(int32_t packetsSent, int32_t bytesRead, int32_t fileSize) {
  // Standard output first, so the spinner lands after any text already queued.
  std::fflush(stdout);
  TheConsole().PutChar(kSpinner[((packetsSent % 4) + 4) % 4]);
  std::printf("%3d%%\b\b\b\b\b", static_cast<int>(ProgressPercent(bytesRead, fileSize)));
  std::fflush(stdout);
}
