#include "run/bench_screen.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "console/console.h"
#include "run/presentation.h"
#include "serial/cserial.h"

namespace {

// The longest label a terminal line gives room to; a longer one (a by-id
// link) keeps its end, where the adapter's serial number is.
constexpr size_t kMostLabelColumns = 40;
// "-v": a received line longer than this is told in parts.
constexpr size_t kMostReceivedLine = 160;

std::string Number(long value) { return std::to_string(value); }

// The percentage and the records sent, in columns of their own.
std::string Figures(int percent, int32_t records) {
  char text[48];
  std::snprintf(text, sizeof text, " %3d%%  %6ld records", percent, static_cast<long>(records));
  return text;
}

}  // namespace

BenchScreen::BenchScreen(std::vector<std::string> labels, bool redraw, int columns)
    : redraw_(redraw), columns_(columns) {
  // At most half a narrow terminal, so that the stage stays in sight.
  labelLimit_ = std::min(kMostLabelColumns, static_cast<size_t>(std::max(columns / 2, 10)));
  for (std::string& label : labels) {
    labelWidth_ = std::max(labelWidth_, std::min(label.size(), labelLimit_));
    lines_.push_back({std::move(label), "waiting"});
  }
}

void BenchScreen::Stage(int port, const std::string& stage, int percent, int32_t records,
                        const std::string& event) {
  std::string text = stage;
  if (percent >= 0) {
    text.resize(std::max<size_t>(text.size(), 12), ' ');
    text += Figures(percent, records);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[port].text = text;
    changed_ = true;
  }
  if (!event.empty()) Event(port, event);
}

void BenchScreen::Event(int port, const std::string& event) {
  if (redraw_) return;
  const std::string line = lines_[port].label + ": " + ScreenText(event, LineEnds::kShown) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  std::fputs(line.c_str(), stdout);
}

std::string BenchScreen::Fitted(const Line& line) const {
  std::string label = line.label;
  if (label.size() > labelLimit_) label = "..." + label.substr(label.size() - (labelLimit_ - 3));
  label.resize(labelWidth_, ' ');
  std::string text = ScreenText(label + "  " + line.text, LineEnds::kShown);
  // A line wider than the terminal would wrap, and the redraw would go up
  // too few lines.
  const size_t room = columns_ > 1 ? static_cast<size_t>(columns_ - 1) : 1;
  if (text.size() > room) text.resize(room);
  return text;
}

void BenchScreen::Draw() {
  if (!redraw_) return;
  std::string screen;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!changed_) return;
    changed_ = false;
    if (drawn_) screen = "\x1b[" + std::to_string(lines_.size()) + "A";
    for (const Line& line : lines_) screen += "\r" + Fitted(line) + "\x1b[K\n";
    drawn_ = true;
  }
  std::fputs(screen.c_str(), stdout);
  std::fflush(stdout);
}

void BenchPortView::WakingUp(const std::string& /*portLabel*/) {
  ++tries_;
  const std::string tryNumber = "(try " + Number(tries_) + ")";
  screen_.Stage(port_, "waking up " + tryNumber, -1, 0, "waking up device " + tryNumber);
}

void BenchPortView::Received(unsigned char byte) {
  if (!echo_) return;
  if (byte != '\n') received_ += static_cast<char>(byte);
  if (byte != '\n' && received_.size() < kMostReceivedLine) return;
  if (!received_.empty() && received_.back() == '\r') received_.pop_back();
  screen_.Event(port_, "received \"" + received_ + "\"");
  received_.clear();
}

void BenchPortView::WakeFailed() {
  const std::string stage = "no answer (try " + Number(tries_) + ")";
  screen_.Stage(port_, stage, -1, 0, stage);
}

void BenchPortView::WakeHint(bool /*keysCanArrive*/) {
  screen_.Event(port_, "the instrument does not answer. Check that it is switched on, the cable "
                       "and the port.");
}

void BenchPortView::Awake() { screen_.Stage(port_, "awake", -1, 0, "awake"); }

void BenchPortView::LineSet(const std::string& /*portLabel*/) {
  screen_.Stage(port_, "set up", -1, 0, std::string("line set to ") + kLineSettingsText);
}

void BenchPortView::Started(const std::string& /*fileName*/) {
  screen_.Stage(port_, "flashing", 0, 0, "flashing started");
}

void BenchPortView::Progress(int32_t /*packetsSent*/, int32_t recordsRead, int32_t bytesRead,
                             int32_t fileSize) {
  const int percent = ProgressPercent(bytesRead, fileSize);
  std::string event;
  // One plain line each time the percentage passes a multiple of 10; 100 %
  // is told once the end record was accepted.
  if (percent / 10 > tenths_ && percent < 100) {
    tenths_ = percent / 10;
    event = Number(percent) + "% (" + Number(recordsRead) + " records)";
  }
  screen_.Stage(port_, "flashing", percent < 100 ? percent : 99, recordsRead, event);
}

void BenchPortView::Packet(const unsigned char* packet, int size) {
  static const char kHex[] = "0123456789abcdef";
  std::string dump = "SRec " + Number(size) + ": ";
  for (int i = 0; i < size; ++i) {
    dump += kHex[packet[i] >> 4];
    dump += kHex[packet[i] & 0xF];
    dump += ',';
  }
  screen_.Event(port_, dump);
}

void BenchPortView::AllSent(int32_t recordsRead) {
  screen_.Stage(port_, "end record", 100, recordsRead,
                "100% (" + Number(recordsRead) + " records)");
}

void BenchPortView::Finished(const std::string& verdict, int32_t records, double seconds,
                             const std::string& reason) {
  char line[96];
  std::snprintf(line, sizeof line, "%s, %ld records, %.1f s", verdict.c_str(),
                static_cast<long>(records), seconds);
  std::string stage = verdict;
  stage.resize(std::max<size_t>(stage.size(), 12), ' ');
  char figures[64];
  std::snprintf(figures, sizeof figures, " %6ld records  %5.1f s", static_cast<long>(records),
                seconds);
  stage += figures;
  if (!reason.empty()) stage += "  " + reason;
  screen_.Stage(port_, stage, -1, 0, reason.empty() ? line : std::string(line) + ": " + reason);
}
