// dosprep: prepares a machine's DOS start-up files for the sound card.
// A silent program: it reads no arguments, shows nothing and ends when its
// two edits are done.
#include "batch/batch_edit.h"
#include "platform/win32_api.h"

namespace {

using DirectoryQuery = UINT(WINAPI *)(LPSTR buffer, UINT size);

// Queries a directory and converts it to its short (8.3) form. A text that
// does not fit the path limit counts as a failure, like a failed query.
bool QueryShortDirectory(DirectoryQuery query, BoundedText<MAX_PATH> &shortForm) {
    char longPath[MAX_PATH];
    UINT longLength = query(longPath, MAX_PATH);
    if (longLength == 0 || longLength >= MAX_PATH)
        return false;
    char shortPath[MAX_PATH];
    DWORD shortLength = GetShortPathNameA(longPath, shortPath, MAX_PATH);
    if (shortLength == 0 || shortLength >= MAX_PATH)
        return false;
    shortForm.Clear();
    return shortForm.Append({shortPath, shortLength});
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The system directory is not used, but the run needs it to exist.
    BoundedText<MAX_PATH> shortSystemDirectory;
    if (QueryShortDirectory(GetSystemDirectoryA, shortSystemDirectory) &&
        QueryShortDirectory(GetWindowsDirectoryA, g_shortWindowsDirectory)) {
        UpdateAutoexec();
        UpdateDosstart();
    }
    return 0;
}
