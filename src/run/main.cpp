// dosprep: prepares a machine's DOS start-up files for the sound card.
// A silent program: it reads no arguments, shows nothing and ends when its
// two edits are done.
#include "batch/batch_edit.h"
#include "platform/win32_api.h"

#include <array>
#include <string>

namespace {

using DirectoryQuery = UINT(WINAPI *)(LPSTR buffer, UINT size);

// Queries a directory and converts it to its short (8.3) form. A text that
// does not fit the path limit counts as a failure, like a failed query.
bool QueryShortDirectory(DirectoryQuery query, std::string &shortForm) {
    std::array<char, MAX_PATH> longPath{};
    UINT longLength = query(longPath.data(), MAX_PATH);
    if (longLength == 0 || longLength >= MAX_PATH)
        return false;
    std::array<char, MAX_PATH> shortPath{};
    DWORD shortLength = GetShortPathNameA(longPath.data(), shortPath.data(), MAX_PATH);
    if (shortLength == 0 || shortLength >= MAX_PATH)
        return false;
    shortForm.assign(shortPath.data(), shortLength);
    return true;
}

void Run() {
    // The system directory is not used, but the run needs it to exist.
    std::string shortSystemDirectory;
    if (!QueryShortDirectory(GetSystemDirectoryA, shortSystemDirectory) ||
        !QueryShortDirectory(GetWindowsDirectoryA, g_shortWindowsDirectory))
        return;
    UpdateAutoexec();
    UpdateDosstart();
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    try {
        Run();
    } catch (...) {
        // Nothing is shown, whatever happened.
    }
    return 0;
}
