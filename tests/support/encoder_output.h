// What an encoder wrote, collected by its output callback (ENCODEPROC) for a later look.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "bass.h"

struct EncoderOutput {
    std::mutex m;
    std::vector<std::uint8_t> bytes;
    static void BASSCALLBACK proc(HENCODE, DWORD, const void* buffer, DWORD length, void* user) {
        auto* out = static_cast<EncoderOutput*>(user);
        std::lock_guard<std::mutex> lock(out->m);
        auto* p = static_cast<const std::uint8_t*>(buffer);
        out->bytes.insert(out->bytes.end(), p, p + length);
    }
};
