// Interrupts of a run (SIGINT, SIGTERM, SIGHUP): the run stops at the next
// file call instead of wherever the signal finds it, each edit ending as
// after any failure. Private to src/platform/posix.
#pragma once

namespace dosprep::posix {

// From now on SIGINT, SIGTERM and SIGHUP are caught by a handler that only
// notes the first of them, and a call that one interrupts (a waiting flock)
// fails with EINTR. SIGXFSZ is ignored: a write past the file-size limit
// fails with EFBIG instead of killing the run.
void CatchInterrupts();

// The signal that asked the run to end, or 0.
int Interruption() noexcept;

} // namespace dosprep::posix
