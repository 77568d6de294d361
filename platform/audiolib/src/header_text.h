// Small text helpers shared by the source handshakes: station texts become header values,
// and only well-formed "Name: value" lines may become header lines.
#pragma once

#include <string>
#include <vector>

namespace bassx::hdr {

// The text without CR and LF: a header value that cannot start another line.
std::string oneLine(const std::string& s);
// Lines split at CR LF, CR or LF.
std::vector<std::string> splitLines(const std::string& s);
bool startsWithNoCase(const std::string& s, const char* prefix);
// "Name: value" with a token name (letters, digits, '-', '_').
bool headerLine(const std::string& line);

}  // namespace bassx::hdr
