// The packet log of --log: one line per packet received, written as each
// packet is answered, e.g.
//   3 type=2 len=68 addr=0x000010 data=64 ok
//   4 type=2 len=68 addr=0x000020 data=64 error "Checksum error"
//   1 type=0 len=20 addr=0x0000 header="fw.m0" ok
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

// Printable form of bytes: ASCII as is, others as \xNN; quotes and
// backslashes escaped.
std::string PrintableText(const std::string& bytes);
