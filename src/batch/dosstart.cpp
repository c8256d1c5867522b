#include "batch/batch_edit.h"
#include "batch/dos_text.h"
#include "locale/language.h"

BoundedText<MAX_PATH> g_shortWindowsDirectory;

namespace {

constexpr std::string_view kSetupCommand = "audprep.exe /S\n";
constexpr std::string_view kCodePageNeedle = "CHCP ";
constexpr std::string_view kJpNeedle = "JP\n";
constexpr std::string_view kCodePageLine = "CHCP 437\n";
constexpr std::string_view kJpLine = "JP\n";

// `name` in the Windows directory; false when it passes the path limit.
bool InWindowsDirectory(BoundedText<MAX_PATH> &path, std::string_view name) {
    return ComposeText(path, {g_shortWindowsDirectory.View(), "\\", name});
}

} // namespace

void UpdateDosstart() {
    const bool japanese = GetLanguageCode() == kLanguageJapanese;
    // The set-up line must fit in one line piece, or no later run could
    // find and replace it.
    BoundedText<kPieceCapacity + 1> setupLine;
    BoundedText<MAX_PATH> target;
    BoundedText<MAX_PATH> temp;
    if (!ComposeText(setupLine, {g_shortWindowsDirectory.View(), "\\", kSetupCommand}) ||
        !InWindowsDirectory(target, "dosstart.bat") || !InWindowsDirectory(temp, "dosstart.tmp"))
        return;
    if (japanese) {
        const std::string_view needles[] = {setupLine.View(), kCodePageNeedle, kJpNeedle};
        const std::string_view lines[] = {kCodePageLine, setupLine.View(), kJpLine};
        RewriteBatchFile(target.CStr(), temp.CStr(), needles, lines);
    } else {
        const std::string_view setup[] = {setupLine.View()};
        RewriteBatchFile(target.CStr(), temp.CStr(), setup, setup);
    }
}
