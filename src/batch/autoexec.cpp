#include "batch/batch_edit.h"

namespace {

constexpr std::string_view kDriveRoot = "C:\\";
constexpr std::string_view kDropNeedles[] = {"BLASTER="};
constexpr std::string_view kSoundCardLine[] = {"SET  BLASTER=A220 I5  D1 T4\n"};

} // namespace

void UpdateAutoexec() {
    BoundedText<MAX_PATH> target;
    BoundedText<MAX_PATH> temp;
    if (!ComposeText(target, {kDriveRoot, "autoexec.bat"}) ||
        !ComposeText(temp, {kDriveRoot, "autoexec.tmp"}))
        return;
    RewriteBatchFile(target.CStr(), temp.CStr(), kDropNeedles, kSoundCardLine);
}
