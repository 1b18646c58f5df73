#include "run/presentation.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "run/command_line.h"
#include "serial/cserial.h"

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

// What the usage text lacks, after it: every other option, and "-p" as it is.
const char kHelpAdditions[] =
    "\n"
    "           -p - The pad is three 0xFF bytes after every data packet.\n"
    "           -b - Boot sector overwrite: asks first, sends %% as the start\n"
    "                command and ignores ESC until 4096 bytes have gone.\n"
    "   --log=FILE - Append a record of the run (one JSON line) to FILE; the\n"
    "                environment variable TALVORN_LOG=FILE does the same, and\n"
    "                an empty --log= turns it off.\n"
    "port port ... - Two ports or more (at most 32): the file is flashed into\n"
    "                every instrument at once, and a summary ends the run.\n"
    "\n"
    "  Alone on the command line:\n"
    " --list-ports - List the serial ports present.\n"
    "    --version - Print the version.\n"
    "       --help - This text (also -h, -?, /?).\n"
    "\n";

// The forms of a port and where the manual is, for the platform's own ports.
const char kPortHelpPaths[] =
    "         port - 1 = /dev/ttyS0, 2 = /dev/ttyS1, ...; also written COMn\n"
    "                (COM3), or a device path such as /dev/ttyUSB0 or a name\n"
    "                under /dev/serial/by-id/ (talvorn --list-ports lists them).\n"
    "\n"
    "The manual: man talvorn.\n";
const char kPortHelpComNames[] =
    "         port - also written COMn (COM3), as Device Manager shows it under\n"
    "                Ports (COM & LPT) (talvorn --list-ports lists them).\n"
    "\n"
    "The manual: README.txt beside talvorn.exe.\n";

const char kErrorPrefix[] = "*** - Error, ";

const char kSpinner[4] = {'/', '-', '\\', '|'};

// Wake-up tries when no key press can ever end them (input closed).
constexpr int kWakeTriesWithoutKeyboard = 20;

}  // namespace

const char* ProgramVersion() { return kVersion; }

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

void PrintHelp() {
  PrintUsage();
  std::fputs(kHelpAdditions, stdout);
  std::fputs(DevicePathsAsPorts() ? kPortHelpPaths : kPortHelpComNames, stdout);
}

void PrintVersion() { std::printf("talvorn %s\n", kVersion); }

void PrintNotAPort(const std::string& arg, bool devicePaths) {
  std::printf("*** - Error, \"%s\" is not a port. A port is a number from 1 to %d or "
              "COM1 to COM%d%s.",
              arg.c_str(), kMaxPortNumber, kMaxPortNumber,
              devicePaths ? ", or a device path such as /dev/ttyUSB0" : "");
}

void PrintRecordNotWritten(const std::string& logPath, const std::string& error) {
  std::fprintf(stderr, "talvorn: the flash record was not written to %s: %s\n", logPath.c_str(),
               error.c_str());
}

void ReportFailure() {
  std::printf("\nFlash programming ... UNSUCCESSFUL\n");
  std::fflush(stdout);
  TheConsole().Beep(1000, 100);
}

bool DrainKeys(RunKeys& keys) {
  bool escape = false;
  for (int read = 0; read < kMostKeysDrained && keys.KeyWaiting(); ++read) {
    const int key = keys.ReadKey();
    if (key < 0) break;
    escape = escape || key == kKeyEscape;
  }
  return escape;
}

bool DrainKeyboard() {
  ConsoleKeys keys;
  return DrainKeys(keys);
}

int64_t ConsoleKeys::NowMs() { return TheConsole().ClockMs(); }
void ConsoleKeys::Pause1ms() { TheConsole().Pause1ms(); }
bool ConsoleKeys::KeyWaiting() { return TheConsole().KeyWaiting(); }
int ConsoleKeys::ReadKey() { return TheConsole().ReadKey(); }
bool ConsoleKeys::Interrupted() { return InterruptPending(); }
bool ConsoleKeys::KeysCanArrive() { return TheConsole().KeysCanArrive(); }
int ConsoleKeys::MostWakeTries() {
  return TheConsole().KeysCanArrive() ? 0 : kWakeTriesWithoutKeyboard;
}
bool ConsoleKeys::ConfirmBootOverwrite() { return AskBootOverwrite(); }

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

void PrintText(const std::string& text) { std::fputs(text.c_str(), stdout); }

std::string UnusableFileText(const std::string& fileName, FileKind kind) {
  const char* what = "is too large (2 GiB or more)";
  if (kind == FileKind::kDirectory) what = "is a directory";
  if (kind == FileKind::kOther) what = "is not a regular file";
  return "\"" + fileName + "\" " + what;
}

void PrintError(const std::string& text) { std::printf("%s%s", kErrorPrefix, text.c_str()); }

std::string WithoutErrorPrefix(const std::string& message) {
  const std::string prefix = kErrorPrefix;
  return message.compare(0, prefix.size(), prefix) == 0 ? message.substr(prefix.size()) : message;
}

void PrintUnreadableFile(const std::string& fileName, int error) {
  std::printf("*** - Error, cannot read file \"%s\".\n\"%s\": ", fileName.c_str(),
              fileName.c_str());
  if (error == EACCES || error == EPERM) {
    std::printf("permission denied. Ask the file's owner to make it readable, or "
                "copy it to a folder of your own.\n");
  } else {
    std::printf("the system refused it (errno %d).\n", error);
  }
}

std::string FileChangedText(const std::string& fileName, bool whileChecked) {
  return "\"" + fileName + "\" changed " + (whileChecked ? "while" : "since") + " it was checked";
}

void PrintFileChanged(const std::string& fileName, bool whileChecked) {
  std::printf("*** - Error, %s", FileChangedText(fileName, whileChecked).c_str());
}

void PrintPressEscape() { std::printf("Press <ESC> to cancel\n"); }

void PrintPortNotOpened(const std::string& problem) {
  std::printf("*** - Error, cannot open port.\n%s\n", problem.c_str());
}

void PrintPortLost(const std::string& lost) { std::printf("*** - Error, %s.\n", lost.c_str()); }

void ScreenView::WakingUp(const std::string& portLabel) {
  std::printf("Waking up device at %s:%s ... ", portLabel.c_str(), kLineSettingsText);
  std::fflush(stdout);
}

void ScreenView::Received(unsigned char byte) {
  if (echo_) std::fputs(ScreenText(std::string(1, static_cast<char>(byte))).c_str(), stdout);
}

void ScreenView::NoPrompt() { TheConsole().Beep(400, 1000); }

void PrintWakeFailed() { std::printf("FAILED\n"); }

void ScreenView::WakeFailed() { PrintWakeFailed(); }
void ScreenView::WakeHint(bool keysCanArrive) { PrintWakeHint(keysCanArrive); }
void ScreenView::Awake() { PrintAwake(); }
void ScreenView::LineSet(const std::string& portLabel) { PrintBaudRate(portLabel); }
void ScreenView::Started(const std::string& fileName) { PrintStarted(fileName); }
void ScreenView::Progress(int32_t packetsSent, int32_t /*recordsRead*/, int32_t bytesRead,
                          int32_t fileSize) {
  ShowProgress(packetsSent, bytesRead, fileSize);
}
void ScreenView::Packet(const unsigned char* packet, int size) { DumpPacket(packet, size); }
void ScreenView::AllSent(int32_t /*recordsRead*/) { PrintAllSent(); }

void PrintNoAnswer(const std::string& portLabel) {
  std::printf("*** - Error, no answer from the instrument at %s.\n", portLabel.c_str());
}

void PrintAwake() { std::printf("AWAKE\n"); }

void PrintCancelled(bool withStop) {
  std::printf("Flash programming ... CANCELLED BY USER%s", withStop ? ".\n" : "");
}

bool AskBootOverwrite() {
  std::printf("Are you sure you want to allow boot sector overwrite (Y/N)? ");
  const int key = TheConsole().ReadKey();
  // The keys typed with the answer (its Enter) would otherwise be taken for
  // later keys: the end of a wait, or a cancel.
  DrainKeyboard();
  if (key >= 0x20 && key < 0x7F) std::printf("%c", key);
  std::printf("\n");
  return key == 'Y' || key == 'y';
}

void PrintBaudRate(const std::string& portLabel) {
  std::printf("Setting Baud Rate to %s: %s\n", portLabel.c_str(), kLineSettingsText);
}

std::string NotSRecordFileText(const std::string& fileName) {
  return "\"" + fileName + "\" is not a Motorola Hex File";
}

void PrintStarted(const std::string& fileName) {
  std::printf("Flash programming \"%s\" started ...\n", fileName.c_str());
  std::printf("Percent Complete ... ");
}

void DumpPacket(const unsigned char* packet, int size) {
  std::printf("SRec %d: ", size);
  for (int i = 0; i < size; ++i) std::printf("%02x,", packet[i]);
  std::printf("\n");
}

void PrintBadRecordRead() { std::printf("*** - Error, Bad S-Record Read\n"); }

void PrintAllSent() { std::printf(" 100%%"); }

void PrintRecordsSent(int32_t recordsRead) {
  std::printf("\nS-Records sent ... %ld\n", static_cast<long>(recordsRead));
}

std::string UnsolicitedText(const std::string& bytes) {
  return "the instrument sent \"" + ScreenText(bytes, LineEnds::kShown) +
         "\" when no answer was due; its answers are out of step with the packets";
}

std::string ErrorAnswerText(const std::string& text) {
  // An answer of nothing but its line end would leave the verdict blank.
  if (text.find_first_not_of("\r\n") == std::string::npos) return "(the answer was empty)";
  return ScreenText(text, LineEnds::kCrLfKept);
}

void PrintErrorAnswer(const std::string& text) {
  // The instrument's own text: shown, never obeyed by the terminal.
  // A carriage return of its own would put the cursor back over the verdict.
  std::printf("Flash programming error message:  %s\n", ErrorAnswerText(text).c_str());
}

void PrintInterrupted(bool imageTouched) {
  std::printf("Flash programming ... INTERRUPTED%s\n",
              imageTouched ? "; the instrument may hold an incomplete image: flash it again."
                           : " before the transfer; the instrument was left as it was.");
}

void PrintSuccess() { std::printf("Flash programming ... SUCCESSFUL\n"); }

void PrintDone() { std::printf("DONE\n"); }

// The hints go to standard error, after what standard output already holds:
// scripts read standard output, which keeps its texts as they are.
void PrintHint(const char* text) {
  std::fflush(stdout);
  std::fprintf(stderr, "talvorn: %s\n", text);
}

void PrintWakeHint(bool keysCanArrive) {
  PrintHint(keysCanArrive
                ? "the instrument does not answer. Check that it is switched on, the cable and "
                  "the port (talvorn --list-ports lists the ports). Any key stops the tries."
                : "the instrument does not answer. Check that it is switched on, the cable and "
                  "the port (talvorn --list-ports lists the ports).");
}

void PrintInstrumentGot(InstrumentGot got) {
  switch (got) {
    case InstrumentGot::kNothing: PrintHint("nothing was sent to the instrument."); break;
    case InstrumentGot::kNoFirmware:
      PrintHint("no firmware was sent; the instrument was left as it was.");
      break;
    case InstrumentGot::kPartOfImage:
      PrintHint("the instrument may hold an incomplete image: flash it again.");
      break;
    case InstrumentGot::kWholeImage:
      PrintHint("the instrument had already accepted the whole image, its end record included.");
      break;
  }
}
