#pragma once

namespace Velkor::HardwareAPI::Platform {

// Hands memory the allocator keeps from freed blocks back to the operating
// system, where it can (after a large build's temporaries are gone).
void ReturnFreedMemory();

}  // namespace Velkor::HardwareAPI::Platform
