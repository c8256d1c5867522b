// Interrupts of a run (SIGINT, SIGTERM, SIGHUP): the run stops at the next
// file call instead of wherever the signal finds it. Private to
// src/platform/posix.
#pragma once

namespace dosprep::posix {

// From now on SIGINT, SIGTERM and SIGHUP are caught by a handler that only
// notes the first of them, and a call that one interrupts (a waiting flock)
// fails with EINTR instead of going on. SIGXFSZ is ignored, so that a write
// past the file-size limit fails with EFBIG instead of killing the run.
void CatchInterrupts();

// The signal that asked the run to end, or 0. File calls fail once it is
// set (files.cpp), so each edit ends as after any failure: its temporary
// file removed, its batch file the old one or the whole new one.
int Interruption() noexcept;

} // namespace dosprep::posix
