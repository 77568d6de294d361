#include "error.h"

namespace bassx {
namespace {
thread_local int threadError = 0;
}
void setError(int code) { threadError = code; }
int lastError() { return threadError; }
}  // namespace bassx
