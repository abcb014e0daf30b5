#pragma once

namespace VelkorTest {

// Sends file descriptor 2 into a fresh unnamed temporary file until the
// matching ReleaseStderr. Holds nest, with each other and inside or around
// testing::internal::CaptureStderr(). False if nothing could be held (fd 2 is
// then unchanged). A crash, a fatal signal or a sanitizer's death while held
// still writes what was held to the descriptor it replaced.
bool HoldStderr();

// Ends the innermost hold: fd 2 is put back, and what was written meanwhile
// is written to it if `replay`, dropped otherwise.
void ReleaseStderr(bool replay);

}  // namespace VelkorTest
