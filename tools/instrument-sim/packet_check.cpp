#include "packet_check.h"

PacketFramer::Result PacketFramer::Feed(uint8_t byte) {
  switch (state_) {
    case State::kMarker:
      if (byte == kPacketMarker) {
        packet_ = Packet{};
        state_ = State::kType;
        return Result::kNeedMore;
      }
      return byte == kPadByte ? Result::kNeedMore : Result::kStray;
    case State::kType:
      packet_.type = byte;
      state_ = State::kLength;
      return Result::kNeedMore;
    case State::kLength:
      packet_.length = byte;
      // A length of 0 would leave no room even for the checksum; take the
      // next byte as the checksum so the packet still ends and is refused.
      state_ = byte > 1 ? State::kBody : State::kChecksum;
      return Result::kNeedMore;
    case State::kBody:
      packet_.body.push_back(byte);
      if (packet_.body.size() + 1 >= packet_.length) state_ = State::kChecksum;
      return Result::kNeedMore;
    case State::kChecksum:
      packet_.checksum = byte;
      state_ = State::kMarker;
      return Result::kPacket;
  }
  return Result::kStray;
}

uint8_t PacketChecksum(uint8_t length, const std::vector<uint8_t>& body) {
  unsigned sum = length;
  for (uint8_t b : body) sum += b;
  return static_cast<uint8_t>(0xFFu - (sum & 0xFFu));
}

bool IsTerminator(uint8_t type) { return type == 5 || type == 8 || type == 9; }

unsigned AddressBytes(uint8_t type) {
  switch (type) {
    case 0: case 1: case 5: case 9: return 2;
    case 2: case 6: case 8: return 3;
    case 3: case 7: return 4;
    default: return 0;
  }
}

uint32_t PacketAddress(const Packet& packet) {
  const unsigned n = AddressBytes(packet.type);
  if (packet.body.size() < n) return 0;
  uint32_t address = 0;
  for (unsigned i = 0; i < n; ++i) address = (address << 8) | packet.body[i];
  return address;
}

std::string CheckPacket(const Packet& packet) {
  // S4 is reserved in the S-record format; nothing above S9 exists.
  if (packet.type > 9 || packet.type == 4) return "Record type error";
  if (packet.length == 0 || packet.body.size() < AddressBytes(packet.type)) return "Length error";
  if (PacketChecksum(packet.length, packet.body) != packet.checksum) return "Checksum error";
  return {};
}
