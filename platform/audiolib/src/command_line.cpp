#include "process.h"

namespace bassx {

std::vector<std::string> splitCommandLine(const std::string& s) {
    std::vector<std::string> args;
    std::string cur;
    bool inArg = false, quoted = false;
    for (char c : s) {
        if (c == '"') {
            quoted = !quoted;
            inArg = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            if (inArg) args.push_back(std::move(cur));
            cur.clear();
            inArg = false;
        } else {
            cur += c;
            inArg = true;
        }
    }
    if (inArg) args.push_back(std::move(cur));
    return args;
}

}  // namespace bassx
