// Where the device clock's mix is played: the platform's sound output (one backend per file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "bass.h"

namespace bassx::device {

class Output {
public:
    virtual ~Output() = default;
    // 16-bit stereo at freq; false when there is no sound server or device (within 2 s).
    virtual bool open(DWORD freq) = 0;
    virtual void close() = 0;
    // Never waits for the device: what does not fit now is dropped.
    virtual void write(const int16_t* stereo, size_t bytes) = 0;
    // While quiet nothing is written, and the device need not mix the stream either.
    virtual void setQuiet(bool quiet) = 0;
    virtual bool isOpen() const = 0;
    // Bytes handed to the device since open.
    virtual uint64_t written() const = 0;
};

std::unique_ptr<Output> makeOutput();

}  // namespace bassx::device
