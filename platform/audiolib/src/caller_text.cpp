// The caller's texts on POSIX systems are UTF-8.
#include "text_encoding.h"

namespace bassx::text {

std::string fromCaller(const std::string& text) { return repairedUtf8(text); }

}  // namespace bassx::text
