// The settings file's byte layout, apart from the file itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "settings/larkspur.h"

// The 2584 bytes that saveSettings writes.
std::vector<std::uint8_t> encodeSettings(const Larkspur& record);
// Fills the fields that `length` bytes reach in full; the contacts only when `withContacts`.
void decodeSettings(Larkspur& record, const std::uint8_t* bytes, std::size_t length, bool withContacts);
