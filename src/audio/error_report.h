// The one way a failing step tells the user: a modal box titled "Larkspur - Error" with the
// step's message and the audio library's last error code of the calling thread.
#pragma once

#include <string>

// The box text: "\n" sequences become CR LF, then two spaces, then "Bass Error: 0x" and the
// code in decimal, or nothing after the two spaces when the code is 0.
std::string errorReportText(const char* message, int code);

// Shows the box only while showErrors is 1; holds the calling thread until it is closed.
void reportError(const char* message);
