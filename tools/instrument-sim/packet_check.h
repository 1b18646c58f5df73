// Framing and checking of the loader's binary packets, as the instrument
// receives them:
//
//   0x7F, type, length L, L-1 body bytes, checksum
//
// where the checksum is 0xFF minus the low byte of the sum of the length byte
// and the body. Between packets the loader may send 0xFF pad bytes ("-p");
// they are skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint8_t kPacketMarker = 0x7F;
constexpr uint8_t kPadByte = 0xFF;

struct Packet {
  uint8_t type = 0;
  uint8_t length = 0;          // the length byte as received
  std::vector<uint8_t> body;   // length - 1 bytes: address and data
  uint8_t checksum = 0;        // as received
};

// Collects bytes into packets, one byte at a time.
class PacketFramer {
 public:
  enum class Result {
    kNeedMore,  // the byte was taken; no packet is complete yet
    kPacket,    // a packet is complete: see packet()
    kStray,     // the byte is neither a pad byte nor inside a packet
  };

  Result Feed(uint8_t byte);
  // The packet completed by the last Feed that returned kPacket.
  const Packet& packet() const { return packet_; }
  // True while no packet has been started (between packets).
  bool Idle() const { return state_ == State::kMarker; }
  void Reset() { state_ = State::kMarker; }

 private:
  enum class State { kMarker, kType, kLength, kBody, kChecksum };
  State state_ = State::kMarker;
  Packet packet_;
};

// 0xFF minus the low byte of the sum of the length byte and the body.
uint8_t PacketChecksum(uint8_t length, const std::vector<uint8_t>& body);

// Checks a framed packet: a record type 0 to 9, a length that holds the
// address a type needs, and the checksum. Returns the instrument's error text
// (without line end), or an empty string for a good packet.
std::string CheckPacket(const Packet& packet);

// True for the types that end a transfer: 5, 8 and 9.
bool IsTerminator(uint8_t type);

// Address bytes at the start of the body for each record type (0 for types
// that carry none).
unsigned AddressBytes(uint8_t type);

// The address field of the packet, most significant byte first; 0 when the
// body is too short to hold it.
uint32_t PacketAddress(const Packet& packet);
