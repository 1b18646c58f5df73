// The simulator's PacketFramer, fed any bytes. Properties: a byte is stray
// only between packets and only when it is neither marker nor pad; a
// complete packet is exactly the bytes fed since its marker, its body as long
// as its length byte says, and it is refused for its checksum exactly when
// the sum of its bytes after the type is not 0xFF; a packet put back on the
// wire (behind a pad byte) frames to the same packet.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "packet_check.h"
#include "require.h"

namespace {

std::vector<uint8_t> WireBytes(const Packet& packet) {
  std::vector<uint8_t> wire = {kPacketMarker, packet.type, packet.length};
  wire.insert(wire.end(), packet.body.begin(), packet.body.end());
  wire.push_back(packet.checksum);
  return wire;
}

bool SamePacket(const Packet& a, const Packet& b) {
  return a.type == b.type && a.length == b.length && a.body == b.body && a.checksum == b.checksum;
}

void CheckPacketFramed(const Packet& packet, const uint8_t* fed, size_t fedSize) {
  const std::vector<uint8_t> wire = WireBytes(packet);
  Require(wire == std::vector<uint8_t>(fed, fed + fedSize), "a packet is the bytes fed since its marker");
  Require(packet.body.size() + 1 == (packet.length > 1 ? packet.length : 1u),
          "the body is as long as the length byte says");
  unsigned sum = 0;
  for (size_t i = 2; i < wire.size(); ++i) sum += wire[i];
  const bool sumsRight = (sum & 0xFFu) == 0xFFu;
  const std::string verdict = CheckPacket(packet);
  Require(sumsRight || !verdict.empty(), "a wrong checksum is refused");
  Require(verdict != "Checksum error" || !sumsRight, "a right checksum is never called wrong");

  PacketFramer again;
  Require(again.Feed(kPadByte) == PacketFramer::Result::kNeedMore, "a pad byte is skipped");
  for (size_t i = 0; i + 1 < wire.size(); ++i) {
    Require(again.Feed(wire[i]) == PacketFramer::Result::kNeedMore, "a packet completes at its end");
  }
  Require(again.Feed(wire.back()) == PacketFramer::Result::kPacket &&
              SamePacket(again.packet(), packet),
          "a packet put back on the wire frames to the same packet");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PacketFramer framer;
  size_t start = 0;  // where the packet being framed began
  for (size_t i = 0; i < size; ++i) {
    const bool between = framer.Idle();
    if (between) start = i;
    const PacketFramer::Result result = framer.Feed(data[i]);
    const bool strayByte = between && data[i] != kPacketMarker && data[i] != kPadByte;
    Require((result == PacketFramer::Result::kStray) == strayByte,
            "stray exactly when a byte between packets is neither marker nor pad");
    if (result == PacketFramer::Result::kPacket) {
      Require(framer.Idle(), "the framer is between packets after one");
      CheckPacketFramed(framer.packet(), data + start, i + 1 - start);
    }
  }
  return 0;
}
