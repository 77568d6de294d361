#include "header_text.h"

#include <cctype>
#include <cstring>

#include <strings.h>

namespace bassx::hdr {

std::string oneLine(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

std::vector<std::string> splitLines(const std::string& s) {
    std::vector<std::string> out;
    size_t from = 0;
    while (from <= s.size()) {
        size_t to = s.find_first_of("\r\n", from);
        if (to == std::string::npos) to = s.size();
        out.push_back(s.substr(from, to - from));
        if (to < s.size() && s[to] == '\r' && to + 1 < s.size() && s[to + 1] == '\n') ++to;
        from = to + 1;
    }
    return out;
}

bool startsWithNoCase(const std::string& s, const char* prefix) {
    size_t n = std::strlen(prefix);
    return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

bool headerLine(const std::string& line) {
    auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    for (size_t i = 0; i < colon; ++i) {
        char c = line[i];
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) return false;
    }
    return true;
}

}  // namespace bassx::hdr
