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
          part_ = Part::Boundary;
          ++notifications_;
        } else {
          part_ = Part::Payload;
        }
        break;
      case Part::Payload: {
        const size_t take = std::min(left_, n - i);
        i += take;
        left_ -= take;
        if (left_ == 0) {
          part_ = Part::Boundary;
          ++(in_reply_ ? replies_ : notifications_);
        }
        break;
      }
    }
  }
}

}  // namespace Velkor::HardwareAPI::Devices
