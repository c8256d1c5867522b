// What the native command tells the user after a run: a unified diff of
// each batch file it copied over, when asked, and one line on standard
// error for each edit that was not made,
//   dosprep: C:\AUTOEXEC.BAT (/home/u/.wine/drive_c/AUTOEXEC.BAT): read-only; left as it was
#pragma once

namespace dosprep::posix {

// Reports the run from its record (with no drive C, both edits as not
// made); with `showDiffs`, each copy's diff goes to standard output, by
// the system's diff. True when both edits were made (and diffs shown).
bool ReportRun(bool showDiffs);

} // namespace dosprep::posix
