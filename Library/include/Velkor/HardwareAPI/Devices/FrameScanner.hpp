#pragma once

#include <cstddef>
#include <cstdint>

namespace Velkor::HardwareAPI::Devices {

// Follows the frames on a device's line byte by byte, so that the device layer
// always knows whether the next byte begins a frame and how many more bytes the
// frame in progress has. A frame is a reply (a code whose payload length the
// device type knows), a notification (0xBA or 0xBB, one byte not interpreted,
// a length byte L, L bytes), or a single byte of no known code (garbage).
// Pure: it never touches a port.
class FrameScanner {
 public:
  // The payload length a reply code implies, or a negative number for a byte
  // that begins no reply.
  using PayloadLength = int (*)(uint8_t code);
  // Whether a reply code is followed by a second code (its first payload byte)
  // which, like the first, may come after notification frames.
  using SecondCode = bool (*)(uint8_t code);

  explicit FrameScanner(PayloadLength payload_length = nullptr, SecondCode second_code = nullptr)
      : payload_length_(payload_length), second_code_(second_code) {}

  // Takes the next n bytes of the line.
  void Feed(const uint8_t* data, size_t n);
  bool AtBoundary() const { return part_ == Part::Boundary; }
  // Bytes the frame in progress still needs before its end is known: 0 at a
  // boundary; in a notification's header, what it takes to learn its length.
  size_t Needed() const;
  // The frame in progress is given up: the next byte begins a frame.
  void Resync() {
    part_ = Part::Boundary;
    left_ = 0;
    second_code_next_ = false;
    nested_ = false;
  }
  // Whether a frame in progress is a reply (as opposed to a notification).
  bool InReply() const { return part_ == Part::Payload && in_reply_; }

  // Whole frames completed since construction, by kind.
  uint64_t Replies() const { return replies_; }
  uint64_t Notifications() const { return notifications_; }
  uint64_t GarbageBytes() const { return garbage_; }

 private:
  enum class Part : uint8_t { Boundary, NotificationSkip, NotificationLength, Payload };

  void EndNotification();

  PayloadLength payload_length_;
  SecondCode second_code_;
  Part part_ = Part::Boundary;
  bool in_reply_ = false;
  size_t left_ = 0;  // payload bytes still to come
  bool second_code_next_ = false;  // the reply's next byte is its second code
  bool nested_ = false;            // a notification before a reply's second code
  size_t reply_left_ = 0;          // the reply's payload to come after it
  uint64_t replies_ = 0;
  uint64_t notifications_ = 0;
  uint64_t garbage_ = 0;
};

}  // namespace Velkor::HardwareAPI::Devices
