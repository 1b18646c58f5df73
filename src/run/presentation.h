// What the loader shows on the console: banner, usage, failure report,
// keyboard drain and the progress field of the transfer.
#pragma once

#include <cstdint>

void PrintBanner();
// The banner, then the help text.
void PrintUsage();
// "\nFlash programming ... UNSUCCESSFUL\n" and a short beep.
void ReportFailure();
// Throws away every key press that is waiting.
void DrainKeyboard();
// The spinner (straight to the terminal) and the percentage, then the cursor
// back on the spinner cell.
void ShowProgress(int32_t packetsSent, int32_t bytesRead, int32_t fileSize);
// bytesRead * 100 / fileSize, truncated, computed without overflow; 0 for an
// empty file.
int32_t ProgressPercent(int32_t bytesRead, int32_t fileSize);
