// The batch-file edits: the shared rewrite procedure and the two edits
// built on it.
#pragma once

#include "batch/bounded_text.h"
#include "platform/win32_api.h"

#include <span>
#include <string_view>

// Texts handed to the rewrite procedure, in order.
using TextList = std::span<const std::string_view>;

// The Windows directory in its short (8.3) form. Set once by the entry
// point before any edit runs; read by UpdateDosstart().
extern BoundedText<MAX_PATH> g_shortWindowsDirectory;

// True when `needle` occurs anywhere in `piece`: plain bytes, case matters.
bool Contains(std::string_view piece, std::string_view needle);

// Rewrites the DOS text file `target` through `temp`: copies every line
// that contains none of `dropNeedles`, ends the copy with a line end if its
// last line had none, appends `linesToAppend` (each ending in LF), then
// copies `temp` over `target` and deletes `temp`. Each piece of a line is
// tested by itself, and a line of several pieces is kept only if every
// piece passes. A missing target counts as empty. The target is replaced
// only when every step before the copy succeeded; nothing is reported
// either way.
void RewriteBatchFile(const char *target, const char *temp, TextList dropNeedles,
                      TextList linesToAppend);

// Makes C:\autoexec.bat end with the sound-card settings line, after
// removing every line that contains "BLASTER=".
void UpdateAutoexec();

// Makes dosstart.bat in the Windows directory end with the line that runs
// the DOS-mode set-up program, bracketed by "CHCP 437" and "JP" on a
// Japanese system. Does nothing when the paths would pass the path limit
// or the set-up line would not fit in one line piece.
void UpdateDosstart();
