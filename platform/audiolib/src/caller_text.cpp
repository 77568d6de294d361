// The caller's texts on POSIX systems are UTF-8.
#include "text_encoding.h"

namespace bassx::text {

std::string fromCaller(const std::string& text) { return repairedUtf8(text); }
std::string toCaller(const std::string& utf8) { return utf8; }

}  // namespace bassx::text
