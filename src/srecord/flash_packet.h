// The fields of a FlashPacket, the frame the loader sends for one or more
// records:
//
//   0x7F, record type, length L, L - 1 body bytes (address and data), checksum
//
// The length byte counts the body and the checksum. Every read or write of a
// packet's fields goes through the names below.
#pragma once

constexpr unsigned char kPacketMarker = 0x7F;
// Where the fields sit.
constexpr int kPacketMarkerAt = 0;
constexpr int kPacketTypeAt = 1;
constexpr int kPacketLengthAt = 2;
constexpr int kPacketBodyAt = 3;
// The bytes on the wire that the length byte does not count: marker, type
// and the length byte itself.
constexpr int kPacketHeaderBytes = 3;

inline int PacketType(const unsigned char* packet) { return packet[kPacketTypeAt]; }
inline int PacketLength(const unsigned char* packet) { return packet[kPacketLengthAt]; }
inline const unsigned char* PacketBody(const unsigned char* packet) { return packet + kPacketBodyAt; }
// Where the checksum of a packet of length `length` sits: right after the body.
constexpr int PacketChecksumAt(int length) { return kPacketHeaderBytes + length - 1; }
// Bytes on the wire, from the marker to the checksum.
inline int PacketWireSize(const unsigned char* packet) {
  return kPacketHeaderBytes + PacketLength(packet);
}
// The record types that end a transfer: S5 (with its record count), S8, S9.
constexpr bool IsTerminatorType(int type) { return type == 5 || type == 8 || type == 9; }
inline bool IsTerminator(const unsigned char* packet) {
  return IsTerminatorType(PacketType(packet));
}
