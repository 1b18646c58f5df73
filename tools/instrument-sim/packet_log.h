// The packet log of --log: one line per packet received, written as each
// packet is answered, e.g.
//   1 type=0 len=5 addr=0x0000 header="fw" raw=7F0005000066771D ok
//   3 type=2 len=8 addr=0x000010 data=4 raw=7F020800001001020304DD ok
//   4 type=2 len=8 addr=0x000011 data=4 raw=7F020800001105060708CD error "Checksum error\x0D\x0A"
// The raw field is the packet as received, without pad bytes.
#pragma once

#include <cstdio>
#include <string>

#include "packet_check.h"

class PacketLog {
 public:
  PacketLog() = default;
  PacketLog(const PacketLog&) = delete;
  PacketLog& operator=(const PacketLog&) = delete;
  ~PacketLog();

  // Creates (truncates) the log file. Without a call, Write does nothing.
  bool Open(const std::string& path, std::string& error);
  // `outcome` is "ok", "silent", "hangup" or the error text sent.
  void Write(unsigned index, const Packet& packet, const std::string& outcome);

 private:
  std::FILE* file_ = nullptr;
};

// Writes one report line, "talvorn-sim: " and `text`, and flushes it, so
// that a reader sees each event as it happens.
void ReportLine(std::FILE* stream, const std::string& text);

// Printable form of bytes: ASCII as is, others as \xNN; quotes and
// backslashes escaped.
std::string PrintableText(const std::string& bytes);
