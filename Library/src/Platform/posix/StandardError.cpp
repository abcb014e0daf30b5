#include "Platform/StandardError.hpp"

#include <cstdio>

namespace Velkor::HardwareAPI::Platform {

void WriteStandardError(const char* text, size_t size) {
  std::fwrite(text, 1, size, stderr);
  std::fflush(stderr);
}

}  // namespace Velkor::HardwareAPI::Platform
