// Chained Ogg streams: at each title the encoder's program is started again with the title in
// its comment header, and its stream follows the last page of the previous one. What differs
// between the programs is how they are told the tags and the stream's serial number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bass.h"

namespace bassx::chain {

// BASS_ENCODE_CHAIN_OPUS, BASS_ENCODE_CHAIN_FLAC or 0 (not chained) from Encode_Start's flags;
// both at once is no format.
DWORD formatOf(DWORD flags);

struct Tags {
    std::string artist, title;
};
// "Artist - Title" is split at its first " - "; a title without one has no artist.
Tags splitTitle(const std::string& title);

// The command line of one link: the program's own arguments with the serial number and the
// tags put right after the program (before its input and output), so nothing the caller
// wrote is changed. An empty part is left out (flac drops an empty tag anyway).
std::vector<std::string> linkArgs(DWORD format, const std::vector<std::string>& program, std::uint32_t serial,
                                  const std::string& title);

}  // namespace bassx::chain
