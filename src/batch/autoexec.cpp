#include "batch/batch_edit.h"

namespace {

constexpr std::string_view kDriveRoot = "C:\\";
constexpr std::string_view kBlasterNeedle = "BLASTER=";
constexpr std::string_view kSoundCardLine = "SET  BLASTER=A220 I5  D1 T4\n";

} // namespace

void UpdateAutoexec() {
    std::string target = std::string(kDriveRoot) + "autoexec.bat";
    std::string temp = std::string(kDriveRoot) + "autoexec.tmp";
    RewriteBatchFile(target, temp,
                     [](std::string_view piece) { return !Contains(piece, kBlasterNeedle); },
                     {kSoundCardLine});
}
