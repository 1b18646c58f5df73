#include "run/flash_record.h"

#include <cstdint>
#include <cstdio>

#include "console/console.h"
#include "run/presentation.h"
#include "serial/cserial.h"
#include "serial/port_list.h"

namespace {

// The record's error text: the reason of the ending; "" when none. The
// instrument's answer as the screen showed it, without the line's end: a log
// reader's terminal is no safer than the technician's.
std::string ErrorText(const RunOutcome& outcome, const std::string& reason) {
  if (outcome.ending != Ending::kInstrumentError) return reason;
  std::string answer = ErrorAnswerText(reason);
  while (!answer.empty() && (answer.back() == '\r' || answer.back() == '\n')) answer.pop_back();
  return answer;
}

// Length of the valid UTF-8 sequence at `at`, 0 when there is none.
size_t Utf8Length(const std::string& text, size_t at) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  const size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  // No overlong forms, no surrogates, nothing beyond U+10FFFF.
  const unsigned char second = byte(at + 1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
    return 0;
  }
  return length;
}

// Most bytes read for the record of a run refused before the port (the file
// or the port argument): more would hold the verdict's end for seconds, for a
// file nobody flashed.
constexpr int64_t kMostHashedOfRefused = int64_t{64} << 20;

// The file's size and SHA-256 as it is now, read in binary; false when it is
// not a regular file, cannot be read, is longer than `mostBytes`, or an
// interrupt comes meanwhile (none was pending before).
bool HashFile(const std::string& name, int64_t mostBytes, int64_t& size, std::string& digest) {
  const bool interruptedBefore = InterruptPending();
  FileKind kind;
  int openError = 0;
  const FileHandle file = OpenRegularFile(name, kind, openError);
  const auto interrupted = [interruptedBefore] { return !interruptedBefore && InterruptPending(); };
  return file && HashRestOfFile(file.get(), mostBytes, interrupted, size, digest);
}

std::string Bool(bool value) { return value ? "true" : "false"; }

std::string OrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

// The device the port was opened by and the USB adapter behind it.
std::string DeviceFields(const FlashState& state, const CSerial& port) {
  if (!state.progress.portOpened) return "\"device\":null,\"usb\":null";
  const std::string device = ListedPortName(port.PortName());
  std::string usb = "null";
  for (const SerialPortInfo& listed : ListSerialPorts()) {
    if (listed.name != device || listed.usbId.empty()) continue;
    usb = "{\"id\":" + JsonString(listed.usbId) + ",\"manufacturer\":" + OrNull(listed.manufacturer) +
          ",\"product\":" + OrNull(listed.product) + ",\"serial\":" + OrNull(listed.serial) + "}";
  }
  return "\"device\":" + JsonString(device) + ",\"usb\":" + usb;
}

}  // namespace

// The civil date from the day number by Howard Hinnant's method, so that no
// platform's gmtime (nor its thread safety) is needed.
std::string IsoTime(std::chrono::system_clock::time_point when) {
  const int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  const int64_t days = (ms >= 0 ? ms : ms - 86399999) / 86400000;
  const int64_t msOfDay = ms - days * 86400000;
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(msOfDay / 3600000),
                static_cast<long long>(msOfDay / 60000 % 60),
                static_cast<long long>(msOfDay / 1000 % 60), static_cast<long long>(msOfDay % 1000));
  return text;
}

std::string JsonString(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string json = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c >= 0x80 ? Utf8Length(text, i) : 1;
    if (c == '"' || c == '\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (c >= 0x20 && c != 0x7F && length != 0) {
      json.append(text, i, length);
      i += length;
      continue;
    } else {
      json += "\\u00";
      json += kHex[c >> 4];
      json += kHex[c & 0xF];
    }
    ++i;
  }
  return json + "\"";
}

std::string NewBenchId(const RunStart& start) {
  return IsoTime(start.wall) + "/" + std::to_string(ProcessId());
}

std::string FlashRecordJson(const FlashState& state, const CSerial& port, const RunStart& start,
                            const RunOutcome& outcome, const std::string& reason, int status,
                            const BenchTag* bench) {
  const auto endWall = std::chrono::system_clock::now();
  const auto elapsed = std::chrono::steady_clock::now() - start.steady;
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.3f",
                std::chrono::duration<double>(elapsed).count());
  int64_t size = 0;
  std::string digest;
  const bool refused = outcome.ending == Ending::kBadFile || outcome.ending == Ending::kNotAPort;
  const int64_t mostBytes = refused ? kMostHashedOfRefused : INT64_MAX;
  const std::string& file = state.options.fileName;
  const bool hashed = !file.empty() && HashFile(file, mostBytes, size, digest);
  const bool transferred = state.progress.transferStarted;
  return "{\"start\":\"" + IsoTime(start.wall) + "\",\"end\":\"" + IsoTime(endWall) +
         "\",\"duration_s\":" + duration + ",\"host\":" + JsonString(HostName()) +
         ",\"user\":" + JsonString(UserName()) + ",\"version\":" + JsonString(ProgramVersion()) +
         ",\"file\":" + JsonString(state.options.fileName) +
         ",\"size\":" + (hashed ? std::to_string(size) : "null") +
         ",\"sha256\":" + (hashed ? JsonString(digest) : "null") +
         ",\"port\":" + OrNull(state.link.portLabel) + "," + DeviceFields(state, port) +
         ",\"options\":{\"pad\":" + Bool(state.options.padRecords) + ",\"debug\":" +
         Bool(state.options.debugRecords) + ",\"verbose\":" + Bool(state.options.verbose) +
         ",\"boot\":" + Bool(state.options.bootOverwrite) + "}" +
         (bench == nullptr ? std::string()
                           : ",\"bench\":{\"id\":" + JsonString(bench->id) +
                                 ",\"ports\":" + std::to_string(bench->ports) + "}") +
         ",\"packets\":" +
         std::to_string(transferred ? state.progress.packetsSent : 0) +
         ",\"records\":" + std::to_string(transferred ? state.firmware.reader.recordsRead : 0) +
         ",\"verdict\":" + JsonString(VerdictName(outcome.ending)) +
         ",\"error\":" + OrNull(ErrorText(outcome, reason)) +
         ",\"exit_status\":" + std::to_string(status) + "}";
}

void RecordRun(const FlashState& state, const CSerial& port, const RunStart& start,
               const RunOutcome& outcome, const std::string& reason, int status,
               const BenchTag* bench) {
  // A command line refused before it named a file (a usage request) flashed nothing.
  if (state.options.logPath.empty() || outcome.ending == Ending::kAnswered ||
      (outcome.ending == Ending::kRefused && state.options.fileName.empty())) {
    return;
  }
  std::string error;
  const std::string record = FlashRecordJson(state, port, start, outcome, reason, status, bench);
  if (!AppendToLog(state.options.logPath, record + "\n", error)) {
    PrintRecordNotWritten(state.options.logPath, error);
  }
}
