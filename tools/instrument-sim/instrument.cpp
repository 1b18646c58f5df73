#include "instrument.h"

namespace {

const std::string kWakeString = "===\n";
// Junk for --noise: no prompt, carriage return or line feed among it, so a
// loader must simply read past it.
const std::string kNoise("\x00\x13\x11~#noise#~\xFE\x80", 14);

}  // namespace

Instrument::Instrument(const SimOptions& options, ReplySink& sink, PacketLog& log,
                       std::FILE* report)
    : options_(options), sink_(sink), log_(log), report_(report) {}

bool Instrument::LoadReference(std::string& error) {
  if (options_.checkPath.empty()) return true;
  haveReference_ = ReadReferenceImage(options_.checkPath, reference_, error);
  return haveReference_;
}

void Instrument::Report(const std::string& line) const {
  ReportLine(report_, line);
}

void Instrument::LineOpened() {
  Report("line opened");
  if (options_.noise) sink_.Send(kNoise, 0);
}

// A loader that goes away leaves the instrument as a fresh one: asleep.
void Instrument::LineClosed() {
  Report("line closed");
  // Counted from here, not from the open: the loader's first bytes may be read
  // before its open is seen, and a session of a few bytes (a wake-up, then "-b"
  // answered no) must still count as one.
  sessionBytes_ = 0;
  setupLines_ = 0;
  mode_ = Mode::kAsleep;
  recent_.clear();
  commandLine_.clear();
  framer_.Reset();
}

void Instrument::Receive(uint8_t byte) {
  ++sessionBytes_;
  ++totalBytes_;
  switch (mode_) {
    case Mode::kAsleep: ReceiveAsleep(byte); break;
    case Mode::kCommand: ReceiveCommand(byte); break;
    case Mode::kFlash: ReceiveFlash(byte); break;
  }
}

bool Instrument::WakeStringEnds(uint8_t byte) {
  recent_ += static_cast<char>(byte);
  if (recent_.size() > kWakeString.size()) recent_.erase(0, recent_.size() - kWakeString.size());
  return recent_ == kWakeString;
}

void Instrument::ReceiveAsleep(uint8_t byte) {
  if (WakeStringEnds(byte)) HearWakeString();
}

// --hangup-in-setup: true, with the line closing, at the chosen set-up line.
bool Instrument::HangUpInSetUp() {
  if (++setupLines_ != options_.hangupInSetup) return false;
  Report("hanging up at set-up line " + std::to_string(setupLines_));
  sink_.HangUp();
  return true;
}

void Instrument::HearWakeString() {
  if (HangUpInSetUp()) return;
  recent_.clear();
  commandLine_.clear();
  framer_.Reset();
  if (wakeupsIgnored_ < options_.ignoreWakeups) {
    ++wakeupsIgnored_;
    mode_ = Mode::kAsleep;
    Report("wake-up ignored (" + std::to_string(wakeupsIgnored_) + " of " +
           std::to_string(options_.ignoreWakeups) + ")");
    return;
  }
  if (options_.noise) sink_.Send(kNoise, 0);
  sink_.Send(">", 0);
  if (mode_ == Mode::kAsleep) Report("awake");
  mode_ = Mode::kCommand;
}

void Instrument::ReceiveCommand(uint8_t byte) {
  sink_.Send(std::string(1, static_cast<char>(byte)), 0);
  commandLine_ += static_cast<char>(byte);
  if (WakeStringEnds(byte)) HearWakeString();
  else if (byte == '\r') EndCommandLine();
}

void Instrument::EndCommandLine() {
  const std::string command = commandLine_.substr(0, commandLine_.size() - 1);
  commandLine_.clear();
  recent_.clear();
  if (HangUpInSetUp()) return;
  if (command == "$" || command == "%%") {
    StartFlash(command == "%%");
    return;
  }
  Report("command \"" + PrintableText(command) + "\"");
  sink_.Send("\n>", options_.promptDelayMs);
}

void Instrument::StartFlash(bool bootOverwrite) {
  Report(bootOverwrite ? "start command \"%%\" (boot sector overwrite)"
                       : "start command \"$\" (normal)");
  if (options_.startAnswer) {
    sink_.Send(options_.startAnswerText + (options_.startExtraLineFeed ? "\r\n\n" : "\r\n"), 0);
  }
  mode_ = Mode::kFlash;
  framer_.Reset();
  image_.Clear();
  flashPackets_ = 0;
  inStrayRun_ = false;
}

// Between packets only pad bytes belong on the line. Anything else is
// counted as stray; a loader that starts over sends its wake-up string there.
void Instrument::ReceiveFlash(uint8_t byte) {
  switch (framer_.Feed(byte)) {
    case PacketFramer::Result::kPacket:
      recent_.clear();
      inStrayRun_ = false;
      HandlePacket(framer_.packet());
      return;
    case PacketFramer::Result::kStray:
      ++strayBytes_;
      if (!inStrayRun_) Report("stray bytes between packets");
      inStrayRun_ = true;
      if (WakeStringEnds(byte)) HearWakeString();
      return;
    case PacketFramer::Result::kNeedMore:
      recent_.clear();
      return;
  }
}

std::string Instrument::AnswerFor(unsigned index, const std::string& problem) const {
  if (static_cast<int>(index) == options_.errorAt) return options_.errorText + "\r\n";
  if (static_cast<int>(index) == options_.crlfAt) return "\r\n";
  if (!problem.empty()) return problem + "\r\n";
  return "\n";
}

void Instrument::HandlePacket(const Packet& packet) {
  const unsigned index = ++packets_;
  ++flashPackets_;
  if (static_cast<int>(index) == options_.hangupAt) {
    log_.Write(index, packet, "hangup");
    Report("hanging up at packet " + std::to_string(index));
    sink_.HangUp();
    return;
  }
  if (static_cast<int>(index) == options_.silentAt) {
    log_.Write(index, packet, "silent");
    Report("packet " + std::to_string(index) + " left unanswered");
    return;
  }
  const std::string answer = AnswerFor(index, CheckPacket(packet));
  sink_.Send(static_cast<int>(index) == options_.extraLineFeedAt ? answer + "\n" : answer,
             options_.delayMs);
  if (answer != "\n") {
    log_.Write(index, packet, answer);
    Report("packet " + std::to_string(index) + " answered \"" + PrintableText(answer) + "\"");
    return;
  }
  log_.Write(index, packet, "ok");
  Accept(packet);
}

void Instrument::Accept(const Packet& packet) {
  if (packet.type == 2) {
    const std::vector<uint8_t> data(packet.body.begin() + 3, packet.body.end());
    image_.Store(PacketAddress(packet) * 4u, data);
  }
  if (IsTerminator(packet.type)) CompleteFlash();
}

void Instrument::CompleteFlash() {
  sink_.Send(">", options_.delayMs);
  mode_ = Mode::kCommand;
  ++flashesCompleted_;
  Report("flash completed: " + std::to_string(flashPackets_) + " packets, " +
         std::to_string(image_.Size()) + " data bytes");
  SaveImage();
  CheckImage();
}

void Instrument::SaveImage() {
  if (options_.imagePath.empty()) return;
  std::string error;
  if (WriteImageFile(options_.imagePath, image_, error)) Report("image written to " + options_.imagePath);
  else Report("cannot write the image: " + error);
}

void Instrument::CheckImage() {
  if (!haveReference_) return;
  const ImageComparison result = CompareImages(reference_, image_);
  char line[160];
  if (result.match) {
    std::snprintf(line, sizeof line, "image check PASSED: %zu bytes at 0x%06X..0x%06X match ",
                  result.bytes, result.lowest, result.highest);
  } else {
    checkFailed_ = true;
    std::snprintf(line, sizeof line, "image check FAILED: %s; against ", result.difference.c_str());
  }
  Report(line + options_.checkPath);
}

int Instrument::ExitStatus() const {
  if (checkFailed_) return 1;
  return flashesCompleted_ > 0 ? 0 : 2;
}

void Instrument::PrintSummary() const {
  Report("exiting: received " + std::to_string(totalBytes_) + " bytes, " +
         std::to_string(packets_) + " packets, " + std::to_string(strayBytes_) + " stray bytes, " +
         std::to_string(flashesCompleted_) + " flashes completed");
}
