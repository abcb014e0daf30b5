#include "Velkor/HardwareAPI/Devices/FrameScanner.hpp"

#include <algorithm>

namespace Velkor::HardwareAPI::Devices {

namespace {
constexpr uint8_t kNotificationA = 0xBA;
constexpr uint8_t kNotificationB = 0xBB;
}  // namespace

size_t FrameScanner::Needed() const {
  switch (part_) {
    case Part::Boundary: return 0;
    case Part::NotificationSkip: return 2;
    case Part::NotificationLength: return 1;
    case Part::Payload: return left_;
  }
  return 0;
}

void FrameScanner::Feed(const uint8_t* data, size_t n) {
  size_t i = 0;
  while (i < n) {
    switch (part_) {
      case Part::Boundary: {
        const uint8_t code = data[i++];
        if (code == kNotificationA || code == kNotificationB) {
          part_ = Part::NotificationSkip;
          break;
        }
        const int length = payload_length_ != nullptr ? payload_length_(code) : -1;
        if (length < 0) {
          ++garbage_;
        } else if (length == 0) {
          ++replies_;
        } else {
          part_ = Part::Payload;
          in_reply_ = true;
          left_ = static_cast<size_t>(length);
          second_code_next_ = second_code_ != nullptr && second_code_(code);
        }
        break;
      }
      case Part::NotificationSkip:
        ++i;
        part_ = Part::NotificationLength;
        break;
      case Part::NotificationLength:
        left_ = data[i++];
        in_reply_ = false;
        if (left_ == 0) {
          EndNotification();
        } else {
          part_ = Part::Payload;
        }
        break;
      case Part::Payload: {
        if (second_code_next_ && in_reply_) {
          // Notifications may come between a reply's two codes, as before its first.
          if (data[i] == kNotificationA || data[i] == kNotificationB) {
            ++i;
            nested_ = true;
            reply_left_ = left_;
            part_ = Part::NotificationSkip;
            break;
          }
          second_code_next_ = false;
        }
        const size_t take = std::min(left_, n - i);
        i += take;
        left_ -= take;
        if (left_ == 0) {
          if (in_reply_) {
            part_ = Part::Boundary;
            ++replies_;
          } else {
            EndNotification();
          }
        }
        break;
      }
    }
  }
}

void FrameScanner::EndNotification() {
  ++notifications_;
  if (nested_) {
    // Back to the reply the notification came inside, at its second code.
    nested_ = false;
    part_ = Part::Payload;
    in_reply_ = true;
    left_ = reply_left_;
    return;
  }
  part_ = Part::Boundary;
}

}  // namespace Velkor::HardwareAPI::Devices
