// Server outputs 2 to 5: the station's mix sent to further servers beside the station's own
// (output 1), each in its own format and bitrate, each living and failing on its own. Each
// has a thread of its own that connects it, watches it and, with automatic reconnection,
// connects it again once a second after a failure; a failure of one never stops or holds up
// another, output 1 or the recording.
#pragma once

#include <string>

#include "bass.h"
#include "broadcast/formats.h"
#include "settings/larkspur.h"

enum class OutputPhase { off, connecting, onAir, reconnecting };

struct OutputState {
    OutputPhase phase = OutputPhase::off;
    std::string failure;  // the last failure in words; empty when there was none
};

// Connect, once output 1 is on the air: starts every enabled output on the record's mixer.
void startOutputs(Larkspur* record);
// Disconnect, before the mixer stops: ends every output; returns within a second or so.
void stopOutputs();
// A title for every output on the air (output 1 gets it from its own caller); kept for an
// Opus or FLAC output that comes on the air later, whose new stream carries it.
void sendTitleToOutputs(const std::string& title, const std::string& url);
// Output n (1 to 5) as the window would show it.
OutputState outputState(int n);

// Output 1 failing alone, while other outputs or the recording run on the mixer: its own
// state until the next connect or disconnect.
void noteOutputOne(OutputPhase phase, const std::string& failure);
// Whether other outputs or the recording run on the mixer: output 1 then fails alone.
bool othersOnTheMixer();
// Words and the audio library's last error code of the calling thread, when there is one.
std::string withErrorCode(const std::string& words);

// The format of an output or the recording by its settings word ("mp3", "vorbis", "opus",
// "flac"); MP3 for a word that names none.
const StreamFormat& formatNamed(const std::string& key);
// The encoder's command line for a format, as output 1 would have it in that format.
std::string commandLineFor(const StreamFormat& format, int bitrate, int sampleRate);
