// The process entry point on hosts without the Windows start-up code: it
// hands over to WinMain as that code would. The arguments are passed as
// the command-line text, which WinMain ignores.
#include "platform/win32_api.h"

#include <string>

int main(int argc, char **argv) {
    std::string commandLine;
    try {
        for (int i = 1; i < argc; ++i) {
            if (i > 1)
                commandLine += ' ';
            commandLine += argv[i];
        }
    } catch (...) {
        commandLine.clear();
    }
    return WinMain(nullptr, nullptr, commandLine.data(), 0);
}
