#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "console/wide_text_win32.h"
#include "run/command_line.h"

// Windows names serial ports by number only ("\\.\COMn").
bool DevicePathsAsPorts() { return false; }

// The wide command line, split as the C runtime splits it; should the two
// ever disagree on the count, the C runtime's own arguments are kept.
char** ProgramArguments(int argc, char** argv) {
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return argv;
  if (count == argc) {
    for (int i = 0; i < count; ++i) texts.push_back(Utf8Text(wide[i]));
    for (std::string& text : texts) pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
  }
  LocalFree(wide);
  return pointers.empty() ? argv : pointers.data();
}
