#pragma once

#include <cstddef>
#include <cstdint>

#include "Velkor/HardwareAPI/Devices/Handle.hpp"

// The handle's self-checking status frame: the bytes after its 0xDA header code,
// SLIP-stuffed (RFC 1055), ending with 0xC0. Pure functions over bytes, apart
// from the stream that delivers them.
namespace Velkor::HardwareAPI::Devices {

constexpr uint8_t kSlipEnd = 0xC0;
constexpr uint8_t kSlipEscape = 0xDB;
constexpr uint8_t kSlipEscapedEnd = 0xDC;
constexpr uint8_t kSlipEscapedEscape = 0xDD;

// Decoded bytes 0 to 16 carry the fields, the last one the checksum.
constexpr size_t kStrixelFieldsSize = 17;
constexpr size_t kStrixelMinFrameSize = kStrixelFieldsSize + 1;
// How GetStrixelStatus reads the line: the bytes it waits for, the header
// codes it skips at most while looking for 0xDA, and its failure flags.
constexpr int32_t kStrixelWaitBytes = 19;
constexpr int kStrixelHeaderSearchLimit = 100;
constexpr uint8_t kStrixelSilent = 99;
constexpr uint8_t kStrixelNoHeader = 2;
constexpr uint8_t kStrixelNoFrame = 3;

// Every decoded byte of a minimal frame escaped, plus the end byte.
constexpr size_t kStrixelMaxEncodedSize = 2 * kStrixelMinFrameSize + 1;

// Undoes the byte stuffing: drops every 0xC0, turns 0xDB 0xDC into 0xC0 and
// 0xDB 0xDD into 0xDB, drops a 0xDB before anything else. `out` needs room for
// n bytes and may be `raw` itself. Returns the decoded length.
size_t SlipDecode(const uint8_t* raw, size_t n, uint8_t* out);

// Stuffs n bytes and appends the end byte: the encoded length, or 0 when it
// does not fit `capacity`.
size_t SlipEncode(const uint8_t* bytes, size_t n, uint8_t* out, size_t capacity);

// (0xDA + the sum of the n bytes) modulo 256.
uint8_t StrixelChecksum(const uint8_t* bytes, size_t n);

// Fills `status` from n decoded bytes when they form a usable frame: at least
// kStrixelMinFrameSize long with a matching last-byte checksum. Otherwise
// leaves `status` alone and returns false.
bool ParseStrixelStatus(const uint8_t* decoded, size_t n, StrixelStatus& status);

// A raw frame as collected from the line: unusable when empty or cut after an
// escape byte; else decoded into `scratch` (room for n bytes, may be `raw`)
// and parsed.
bool DecodeStrixelStatusFrame(const uint8_t* raw, size_t n, uint8_t* scratch, StrixelStatus& status);

// Decodes a raw frame byte by byte as it comes off the line, keeping only the
// field bytes, the running checksum and the last decoded byte: a frame of any
// length, however heavily stuffed, gives what DecodeStrixelStatusFrame gives
// for the whole of it.
class StrixelFrameDecoder {
 public:
  // Takes the next raw byte; true when it was the end byte that closes the frame.
  bool Push(uint8_t raw);
  // Fills `status` when the bytes pushed so far form a usable frame; otherwise
  // leaves it alone and returns false.
  bool Finish(StrixelStatus& status) const;
  uint64_t RawLength() const { return raw_length_; }
  uint64_t DecodedLength() const { return decoded_length_; }

 private:
  void Append(uint8_t byte);

  uint8_t fields_[kStrixelFieldsSize] = {};
  uint64_t raw_length_ = 0;
  uint64_t decoded_length_ = 0;
  uint8_t sum_ = 0;
  uint8_t last_raw_ = 0;
  uint8_t last_decoded_ = 0;
  bool escaped_ = false;
};

// The raw frame a handle sends for `status` (fields out of range are clipped to
// what the frame can carry), ending with 0xC0: its length, or 0 when it does
// not fit `capacity` (kStrixelMaxEncodedSize always does).
size_t EncodeStrixelStatusFrame(const StrixelStatus& status, uint8_t* out, size_t capacity);

}  // namespace Velkor::HardwareAPI::Devices
