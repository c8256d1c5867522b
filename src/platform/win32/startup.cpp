// The process entry point of the Windows program, in place of a C runtime's
// start-up code: Windows 95 ships no C runtime DLL, and the prebuilt ones
// use instructions that the 386, 486 and Pentium lack. It hands over to
// WinMain as that code would, and ends the process with its result.
#include "platform/win32_api.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The command line after the program's own name and the blanks after it.
// A quoted name runs to the closing quote, blanks and all.
LPSTR ArgumentsOf(LPSTR commandLine) {
    char *next = commandLine;
    if (*next == '"') {
        ++next;
        while (*next != '\0' && *next != '"')
            ++next;
        if (*next == '"')
            ++next;
    } else {
        while (*next != '\0' && !IsBlank(*next))
            ++next;
    }
    while (IsBlank(*next))
        ++next;
    return next;
}

// The show state the program was started with.
int ShowState() {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    return (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
}

// One run at a time on the machine, whose one drive C both edits touch: a
// second run waits for the first, as a second install waits for Windows
// Installer's mutex. A plain name: Windows 95 knows no "Global\" prefix
// (on later Windows the name then holds within one session).
constexpr char kRunMutexName[] = "dosprep: one run at a time on drive C";
constexpr DWORD kRunWaitMilliseconds = 60 * 1000;

// The run's mutex, owned; nullptr when it cannot be had within the wait.
// WAIT_ABANDONED also makes it ours: the run that held it has ended, and
// waiting on would not bring it back. A mutex that cannot be made at all
// (another object of that name) counts as held by another run.
HANDLE TakeRunMutex() {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kRunMutexName);
    if (mutex == nullptr)
        return nullptr;
    DWORD waited = WaitForSingleObject(mutex, kRunWaitMilliseconds);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        return mutex;
    CloseHandle(mutex);
    return nullptr;
}

} // namespace

// The image's entry point; the linker knows it by this name. After the
// wait, a run that did not get the mutex ends silently, having touched
// nothing. The mutex is released by hand before the end: Windows would
// release it with the process, but as abandoned, which tells the next run
// that this one died in the middle.
extern "C" void WinMainCRTStartup() {
    HANDLE mutex = TakeRunMutex();
    if (mutex == nullptr)
        ExitProcess(0);
    int result =
        WinMain(GetModuleHandleA(nullptr), nullptr, ArgumentsOf(GetCommandLineA()), ShowState());
    ReleaseMutex(mutex);
    ExitProcess(static_cast<UINT>(result));
}
