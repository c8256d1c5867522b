// The batch-file edits: the shared rewrite procedure and the two edits
// built on it.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

// True keeps a line piece in the rewritten file, false drops it.
using KeepTest = std::function<bool(std::string_view piece)>;

// The Windows directory in its short (8.3) form. Set once by the entry
// point before any edit runs; read by UpdateDosstart().
extern std::string g_shortWindowsDirectory;

// True when `needle` occurs anywhere in `piece`: plain bytes, case matters.
bool Contains(std::string_view piece, std::string_view needle);

// Rewrites the DOS text file `target` through `temp`: copies every line
// that passes `keep`, ends the copy with a line end if its last line had
// none, appends `linesToAppend` (each ending in LF), then copies `temp`
// over `target` and deletes `temp`. A line of several pieces is kept only
// if every piece passes. A missing target counts as empty. The target is
// replaced only when every step before the copy succeeded; nothing is
// reported either way.
void RewriteBatchFile(const std::string &target, const std::string &temp, const KeepTest &keep,
                      std::initializer_list<std::string_view> linesToAppend);

// Makes C:\autoexec.bat end with the sound-card settings line, after
// removing every line that contains "BLASTER=".
void UpdateAutoexec();

// Makes dosstart.bat in the Windows directory end with the line that runs
// the DOS-mode set-up program, bracketed by "CHCP 437" and "JP" on a
// Japanese system. Does nothing when the paths would pass the path limit.
void UpdateDosstart();
