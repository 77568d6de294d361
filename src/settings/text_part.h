// The settings file's text part: `key=value` lines after the four binary blocks, for the
// settings the blocks have no room for. Text in the system's own encoding (UTF-8 on Linux,
// the ANSI code page on Windows), passed through as bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "settings/larkspur.h"

// More than this after the blocks is not read (a file someone filled with junk).
constexpr std::size_t maxTextPartSize = 1 << 20;

// Every key with its value, then the kept lines; "" when every value is its default and no
// line is kept, so that a file nobody set anything new in stays in the older 2584-byte form.
std::string encodeTextPart(const TextSettings& settings);

// Replaces `settings` with what the text holds: a key it lacks takes its default, a line
// that cannot be read (no '=', a value out of range, a NUL byte) is left out, a line with a
// key we do not know is kept as it is. Returns how many lines were left out.
int decodeTextPart(TextSettings& settings, std::string_view text);
