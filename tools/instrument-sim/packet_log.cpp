#include "packet_log.h"

PacketLog::~PacketLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool PacketLog::Open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) error = path + ": cannot create the packet log";
  return file_ != nullptr;
}

void ReportLine(std::FILE* stream, const std::string& text) {
  std::fprintf(stream, "talvorn-sim: %s\n", text.c_str());
  std::fflush(stream);
}

std::string PrintableText(const std::string& bytes) {
  std::string text;
  char hex[8];
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (b >= 0x20 && b < 0x7F) {
      text += c;
    } else {
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      text += hex;
    }
  }
  return text;
}

void PacketLog::Write(unsigned index, const Packet& packet, const std::string& outcome) {
  if (file_ == nullptr) return;
  const unsigned addressBytes = AddressBytes(packet.type);
  std::fprintf(file_, "%u type=%u len=%u addr=0x%0*X", index, packet.type, packet.length,
               static_cast<int>(addressBytes * 2), PacketAddress(packet));
  if (packet.body.size() >= addressBytes) {
    const std::string rest(packet.body.begin() + addressBytes, packet.body.end());
    if (packet.type == 0) std::fprintf(file_, " header=\"%s\"", PrintableText(rest).c_str());
    if (packet.type == 2) std::fprintf(file_, " data=%zu", rest.size());
  }
  std::fprintf(file_, " raw=7F%02X%02X", packet.type, packet.length);
  for (uint8_t b : packet.body) std::fprintf(file_, "%02X", b);
  std::fprintf(file_, "%02X", packet.checksum);
  if (outcome == "ok" || outcome == "silent" || outcome == "hangup") {
    std::fprintf(file_, " %s\n", outcome.c_str());
  } else {
    std::fprintf(file_, " error \"%s\"\n", PrintableText(outcome).c_str());
  }
  std::fflush(file_);
}
