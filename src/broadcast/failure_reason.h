// Why the station is not on the air, in the presenter's words: each failing step of a connect,
// and each death of a running broadcast, gives one reason (the boxes keep their own texts).
#pragma once

#include <cstdint>

enum class FailureReason : std::uint8_t {
    None,
    WrongPassword,
    MountInUse,
    NoAnswer,
    Refused,
    NameNotFound,
    CertificateNotTrusted,
    NoSecureSession,
    AddressNotUnderstood,
    ServerRefused,
    EncoderMissing,
    NotConfigured,
    CaptureDevice,
    AudioEngine,
    ServerLost,
    EncoderStopped,
};

// The source connection's refusal or failure, by the audio library's error code.
FailureReason castFailureReason(int code);
// Plain words for the status line and the station log; "" for None.
const char* reasonText(FailureReason reason);
