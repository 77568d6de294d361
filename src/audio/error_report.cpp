// The one way a failing step tells the user.
#include "audio/error_report.h"

#include "bass.h"
#include "desktop/desktop.h"
#include "plugin/globals.h"

std::string errorReportText(const char* message, int code) {
    std::string text;
    for (const char* p = message; p && *p; ++p) {
        // Messages carry the two characters '\' 'n' where a line break belongs.
        if (p[0] == '\\' && p[1] == 'n') {
            text += "\r\n";
            ++p;
        } else {
            text += *p;
        }
    }
    text += "  ";
    if (code != 0) text += "Bass Error: 0x" + std::to_string(code);
    return text;
}

void reportError(const char* message) {
    // Read first: nothing below may disturb the calling thread's code.
    const int code = BASS_ErrorGetCode();
    if (showErrors.load() != 1) return;
    // Owned by the foreground window only when it is one of the host's process, else by none.
    desktop::messageBox(desktop::foregroundWindowOfThisProcess(), "Larkspur - Error", errorReportText(message, code));
}
