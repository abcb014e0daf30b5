#include "Platform/FreedMemory.hpp"

#include <windows.h>

namespace Velkor::HardwareAPI::Platform {

// The process heap gives whole free pages back by itself; compacting it also
// merges what is left.
void ReturnFreedMemory() { HeapCompact(GetProcessHeap(), 0); }

}  // namespace Velkor::HardwareAPI::Platform
