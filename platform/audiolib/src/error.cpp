#include "error.h"

namespace bassx {
namespace {
// initial-exec: the first access from the host's playback thread must not allocate a TLS block.
__attribute__((tls_model("initial-exec"))) thread_local int threadError = 0;
}  // namespace
void setError(int code) { threadError = code; }
int lastError() { return threadError; }
}  // namespace bassx
