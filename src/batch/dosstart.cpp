#include "batch/batch_edit.h"
#include "locale/language.h"
#include "platform/win32_api.h"

#include "batch/dos_text.h"

std::string g_shortWindowsDirectory;

namespace {

constexpr std::string_view kSetupCommand = "audprep.exe /S\n";
constexpr std::string_view kCodePageNeedle = "CHCP ";
constexpr std::string_view kJpNeedle = "JP\n";
constexpr std::string_view kCodePageLine = "CHCP 437\n";
constexpr std::string_view kJpLine = "JP\n";

std::string InWindowsDirectory(std::string_view name) {
    return g_shortWindowsDirectory + "\\" + std::string(name);
}

// A path must stay within the platform's limit; the set-up line must fit
// in one line piece, or no later run could find and replace it.
bool FitsLimits(const std::string &setupLine, const std::string &target, const std::string &temp) {
    constexpr std::size_t kMaxPath = MAX_PATH - 1;
    return setupLine.size() <= kPieceCapacity && target.size() <= kMaxPath &&
           temp.size() <= kMaxPath;
}

} // namespace

void UpdateDosstart() {
    const bool japanese = GetLanguageCode() == kLanguageJapanese;
    std::string setupLine = InWindowsDirectory(kSetupCommand);
    std::string target = InWindowsDirectory("dosstart.bat");
    std::string temp = InWindowsDirectory("dosstart.tmp");
    if (!FitsLimits(setupLine, target, temp))
        return;
    auto keep = [&setupLine, japanese](std::string_view piece) {
        if (Contains(piece, setupLine))
            return false;
        return !japanese || (!Contains(piece, kCodePageNeedle) && !Contains(piece, kJpNeedle));
    };
    if (japanese)
        RewriteBatchFile(target, temp, keep, {kCodePageLine, setupLine, kJpLine});
    else
        RewriteBatchFile(target, temp, keep, {setupLine});
}
