#include "broadcast/failure_reason.h"

#include "bass.h"

FailureReason castFailureReason(int code) {
    switch (code) {
    case BASS_ERROR_CAST_DENIED:
    case BASS_ERROR_CAST_AUTH: return FailureReason::WrongPassword;
    case BASS_ERROR_CAST_INUSE: return FailureReason::MountInUse;
    case BASS_ERROR_TIMEOUT: return FailureReason::NoAnswer;
    case BASS_ERROR_FILEOPEN: return FailureReason::Refused;  // every address refused the connection
    case BASS_ERROR_NONET: return FailureReason::NameNotFound;
    case BASS_ERROR_CAST_CERT: return FailureReason::CertificateNotTrusted;
    case BASS_ERROR_CAST_TLS: return FailureReason::NoSecureSession;
    case BASS_ERROR_CAST_ADDRESS:
    case BASS_ERROR_ILLPARAM: return FailureReason::AddressNotUnderstood;
    default: return FailureReason::ServerRefused;
    }
}

const char* reasonText(FailureReason reason) {
    switch (reason) {
    case FailureReason::None: return "";
    case FailureReason::WrongPassword: return "wrong password";
    case FailureReason::MountInUse: return "mount in use";
    case FailureReason::NoAnswer: return "no answer from the server";
    case FailureReason::Refused: return "connection refused";
    case FailureReason::NameNotFound: return "name not found";
    case FailureReason::CertificateNotTrusted: return "certificate not trusted";
    case FailureReason::NoSecureSession: return "no secure connection";
    case FailureReason::AddressNotUnderstood: return "server address not understood";
    case FailureReason::ServerRefused: return "the server refused the stream";
    case FailureReason::EncoderMissing: return "encoder missing";
    case FailureReason::NotConfigured: return "no server or port set";
    case FailureReason::CaptureDevice: return "input device not available";
    case FailureReason::AudioEngine: return "sound engine failed";
    case FailureReason::ServerLost: return "server connection lost";
    case FailureReason::EncoderStopped: return "encoder stopped";
    }
    return "";
}
