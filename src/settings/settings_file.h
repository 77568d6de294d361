// The settings file's byte layout, apart from the file itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "settings/larkspur.h"

// What saveSettings writes: the four blocks (2584 bytes), then the text part when it has one.
std::vector<std::uint8_t> encodeSettings(const Larkspur& record);
// Fills the fields that `length` bytes reach in full, the contacts only when `withContacts`;
// the text settings from the bytes after the blocks (their defaults when there are none).
void decodeSettings(Larkspur& record, const std::uint8_t* bytes, std::size_t length, bool withContacts);
