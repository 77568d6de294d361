// The calling thread's last error code.
#pragma once

namespace bassx {

void setError(int code);
int lastError();

// Sets the code and returns the failure value the caller hands back.
template <typename T = int>
T fail(int code, T result = T{}) {
    setError(code);
    return result;
}

}  // namespace bassx
