// The simulator's PacketFramer, fed any bytes. Properties: a byte is stray
// only between packets and only when it is neither marker nor pad; a
// complete packet is exactly the bytes fed since its marker, its body as long
// as its length byte says, and it is refused for its checksum exactly when
// the sum of its bytes after the type is not 0xFF; a packet put back on the
// wire (behind a pad byte) frames to the same packet.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <string>

#include "packet_check.h"
#include "require.h"

namespace {

using Result = PacketFramer::Result;

// True when `packet` is exactly these bytes on the wire, marker to checksum.
bool IsWire(const Packet& packet, const uint8_t* bytes, size_t size) {
  return size == packet.body.size() + 4 && bytes[0] == kPacketMarker && bytes[1] == packet.type &&
         bytes[2] == packet.length && std::equal(packet.body.begin(), packet.body.end(), bytes + 3) &&
         bytes[size - 1] == packet.checksum;
}

void CheckPacketFramed(const Packet& packet, const uint8_t* fed, size_t fedSize) {
  Require(IsWire(packet, fed, fedSize), "a packet is the bytes fed since its marker");
  Require(packet.body.size() + 1 == (packet.length > 1 ? packet.length : 1u),
          "the body is as long as the length byte says");
  const bool sumsRight = (std::accumulate(fed + 2, fed + fedSize, 0u) & 0xFFu) == 0xFFu;
  const std::string verdict = CheckPacket(packet);
  Require(sumsRight || !verdict.empty(), "a wrong checksum is refused");
  Require(verdict != "Checksum error" || !sumsRight, "a right checksum is never called wrong");

  PacketFramer again;
  Require(again.Feed(kPadByte) == Result::kNeedMore, "a pad byte is skipped");
  for (size_t i = 0; i + 1 < fedSize; ++i) {
    Require(again.Feed(fed[i]) == Result::kNeedMore, "a packet completes at its end");
  }
  Require(again.Feed(fed[fedSize - 1]) == Result::kPacket && IsWire(again.packet(), fed, fedSize),
          "a packet put back on the wire frames to the same packet");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PacketFramer framer;
  size_t start = 0;  // where the packet being framed began
  for (size_t i = 0; i < size; ++i) {
    const bool between = framer.Idle();
    if (between) start = i;
    const Result result = framer.Feed(data[i]);
    Require((result == Result::kStray) == (between && data[i] != kPacketMarker && data[i] != kPadByte),
            "stray exactly when a byte between packets is neither marker nor pad");
    if (result == Result::kPacket) {
      Require(framer.Idle(), "the framer is between packets after one");
      CheckPacketFramed(framer.packet(), data + start, i + 1 - start);
    }
  }
  return 0;
}
