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

} // namespace

// The image's entry point; the linker knows it by this name.
extern "C" void WinMainCRTStartup() {
    int result =
        WinMain(GetModuleHandleA(nullptr), nullptr, ArgumentsOf(GetCommandLineA()), ShowState());
    ExitProcess(static_cast<UINT>(result));
}
