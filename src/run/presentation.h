// What the loader shows on the console: banner, usage, failure report,
// keyboard drain, the progress field of the transfer, and every text of the
// run, in the order a run meets them.
#pragma once

#include <cstdint>
#include <string>

#include "run/run_view.h"
#include "srecord/input_file.h"

void PrintBanner();
// "1.02", as the banner shows it.
const char* ProgramVersion();
// The banner, then the help text.
void PrintUsage();
// The usage text, then what it lacks: -b, the forms of a port, the manual.
void PrintHelp();
// The program's name and version.
void PrintVersion();
// On standard error: the flash record could not be appended to `logPath`.
void PrintRecordNotWritten(const std::string& logPath, const std::string& error);
// A port argument that is neither a number nor COMn (nor, where
// `devicePaths`, a path): "*** - Error, ..." naming it and the forms a port
// takes, without a line end.
void PrintNotAPort(const std::string& arg, bool devicePaths);
// "\nFlash programming ... UNSUCCESSFUL\n" and a short beep.
void ReportFailure();
// Throws away the console's key presses that are waiting (at most
// kMostKeysDrained); true when one of them was ESC.
bool DrainKeyboard();
// The spinner (straight to the terminal) and the percentage, then the cursor
// back on the spinner cell.
void ShowProgress(int32_t packetsSent, int32_t bytesRead, int32_t fileSize);
// bytesRead * 100 / fileSize, truncated, computed without overflow; 0 for an
// empty file.
int32_t ProgressPercent(int32_t bytesRead, int32_t fileSize);

// Prints `text` as it is.
void PrintText(const std::string& text);
// "*** - Error, " and `text`, without a line end.
void PrintError(const std::string& text);
// `message` without its leading "*** - Error, ": the reason, for the record.
std::string WithoutErrorPrefix(const std::string& message);
// `"F" is a directory`, `"F" is not a regular file`, or for a regular file
// `"F" is too large (2 GiB or more)`.
std::string UnusableFileText(const std::string& fileName, FileKind kind);
// A regular file that cannot be opened for reading: the error line and the
// line that says why (`error`: errno value) and what helps.
void PrintUnreadableFile(const std::string& fileName, int error);
// The file changed after the check began: while it was checked, or since.
void PrintFileChanged(const std::string& fileName, bool whileChecked);
// `"F" changed while it was checked` (or `since`): the text of both.
std::string FileChangedText(const std::string& fileName, bool whileChecked = false);
void PrintPressEscape();
// "*** - Error, cannot open port." and the line that says why.
void PrintPortNotOpened(const std::string& problem);
// A port lost before the transfer: "*** - Error, " and the loss, in a line.
void PrintPortLost(const std::string& lost);
// A single run on the whole screen: the "Waking up device" text of each
// wake-up, the "-v" echo of every character received (`echo`), a long low
// beep for a command line that got no prompt, and each step's own line.
class ScreenView : public RunView {
 public:
  explicit ScreenView(bool echo) : echo_(echo) {}
  void WakingUp(const std::string& portLabel) override;
  void Received(unsigned char byte) override;
  void NoPrompt() override;
  void WakeFailed() override;
  void WakeHint(bool keysCanArrive) override;
  void Awake() override;
  void LineSet(const std::string& portLabel) override;
  void Started(const std::string& fileName) override;
  void Progress(int32_t packetsSent, int32_t recordsRead, int32_t bytesRead,
                int32_t fileSize) override;
  void Packet(const unsigned char* packet, int size) override;
  void AllSent(int32_t recordsRead) override;

 private:
  bool echo_;
};
// A single run's keys and clock: the console's. Without a keyboard the
// wake-up gives up after 20 tries; "-b" is asked on the screen.
class ConsoleKeys final : public RunKeys {
 public:
  int64_t NowMs() override;
  void Pause1ms() override;
  bool KeyWaiting() override;
  int ReadKey() override;
  bool Interrupted() override;
  bool KeysCanArrive() override;
  int MostWakeTries() override;
  bool ConfirmBootOverwrite() override;
};
void PrintWakeFailed();
void PrintNoAnswer(const std::string& portLabel);
void PrintAwake();
// "Flash programming ... CANCELLED BY USER", with "." and a line end when
// `withStop` (the verdict's form), without them when the wake-up was ended.
void PrintCancelled(bool withStop);
// Asks for the boot-sector overwrite and reads one key: true for Y or y. The
// keys typed after it are thrown away; a printable answer is echoed.
bool AskBootOverwrite();
void PrintBaudRate(const std::string& portLabel);
// `"F" is not a Motorola Hex File`.
std::string NotSRecordFileText(const std::string& fileName);
// "Flash programming "F" started ..." and the "Percent Complete ... " field.
void PrintStarted(const std::string& fileName);
// The "-d" dump of one packet as it goes on the wire.
void DumpPacket(const unsigned char* packet, int size);
void PrintBadRecordRead();
// " 100%" over the progress field, once the terminator was accepted.
void PrintAllSent();
void PrintRecordsSent(int32_t recordsRead);
// The reason of a run whose answers fell out of step: the bytes that came when
// no answer was due, every control character shown.
std::string UnsolicitedText(const std::string& bytes);
// The instrument's error answer as the verdict shows it: control characters
// made visible (a CR LF at its end kept), "(the answer was empty)" for an
// answer of nothing but its line end.
std::string ErrorAnswerText(const std::string& text);

// The error verdict with the instrument's answer or the reason of the failure.
void PrintErrorAnswer(const std::string& text);
void PrintSuccess();
// The verdict of a run ended by Ctrl-C or a termination request: whether the
// instrument may hold an incomplete image (`imageTouched`: the start command
// went) or was left as it was.
void PrintInterrupted(bool imageTouched);
void PrintDone();

// What the instrument got from a run that did not succeed.
enum class InstrumentGot {
  kNothing,      // the port was never opened
  kNoFirmware,   // the port was opened, but the start command never went
  kPartOfImage,  // the transfer began and the end record was not accepted
  kWholeImage,   // the end record was accepted, and the run ended cancelled all the same
};
// On standard error, after the verdict: one line saying what the instrument got.
void PrintInstrumentGot(InstrumentGot got);
// On standard error, once, while the wake-up goes unanswered: what to check,
// and (`keysCanArrive`) that any key stops the tries.
void PrintWakeHint(bool keysCanArrive);
