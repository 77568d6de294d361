// The recording: the station's mix kept in files beside the broadcast, for the archive and for
// the music-rights reports. Each file's name carries the local date and time of its start and
// never replaces a file that is there; beside it a text log of the titles with their start
// times, one line each. A new file starts every N minutes on the clock (counted from local
// midnight: on the hour for 60), or once per connection with 0. A recording that fails stops
// alone, with its reason; the broadcast goes on.
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "settings/larkspur.h"

struct RecordingState {
    bool on = false;      // a file is being written
    std::string file;     // the audio file written now, or the last one
    std::string failure;  // why the recording stopped, in words; empty when it did not
};

// Connect, on the mixer of the record: starts when the settings ask for it. 1 when recording
// or not asked to; 0 when it could not start (the reason is in the state and the station log).
int startRecording(Larkspur* record);
// Disconnect, before the mixer stops (which closes the file).
void stopRecording();
// A title sent to the servers, for the log of the file being written.
void recordTitle(const std::string& title);
RecordingState recordingState();

// The next split after `now`: multiples of `minutes` from local midnight; 0 for no splits.
std::time_t nextSplitAfter(std::time_t now, int minutes);
// "Larkspur_2026-12-09_21-00-00"
std::string recordingBaseName(const std::tm& start);
// The clock the recording reads (tests set a simulated one; an empty function: the system's).
void setRecordingClock(std::function<std::time_t()> clock);
// Starts the next file when the clock has passed its time; the recording's own thread calls
// it a few times a second.
void recordingTick();
