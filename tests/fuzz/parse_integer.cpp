// parseInteger on any text: never crashes, and agrees with the number the text spells.
// The low 32 bits of a wrapped 64-bit value are the value modulo 2^32, so a 32-bit running
// sum over the same digits must give the same result.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "ui/window_thread.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::int32_t got = parseInteger(text);

    std::size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos) i = text.size();
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    unsigned base = 10;
    if (i < text.size() && (text[i] == '$' || text[i] == '%')) base = text[i++] == '$' ? 16 : 2;
    const std::string digits = base == 16 ? "0123456789abcdefABCDEF" : base == 2 ? "01" : "0123456789";
    std::uint32_t want = 0;
    for (; i < text.size() && digits.find(text[i]) != std::string::npos; ++i) {
        const char c = text[i];
        const unsigned digit = c <= '9' ? unsigned(c - '0') : c >= 'a' ? unsigned(c - 'a' + 10) : unsigned(c - 'A' + 10);
        want = want * base + digit;
    }
    if (negative) want = 0u - want;
    fuzz_support::check(got == static_cast<std::int32_t>(want), "parseInteger", fuzz_support::printable(text));
    return 0;
}
