// The C entry points: argument checks, handle lookups and the per-thread error code; the
// work is done by the engine's pieces. Nothing thrown inside the engine crosses into the
// caller: every entry point turns it into a failure with an error code.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

#include "bass.h"
#include "capture.h"
#include "device.h"
#include "chain.h"
#include "encoder.h"
#include "error.h"
#include "fault_point.h"
#include "handles.h"
#include "lifetime.h"
#include "mixer.h"
#include "net.h"
#include "notify.h"
#include "probe.h"
#include "push_stream.h"
#include "recording.h"
#include "text_encoding.h"

using namespace bassx;

namespace {

BOOL ok() {
    setError(BASS_OK);
    return TRUE;
}

BOOL result(int err) {
    setError(err);
    return err == BASS_OK ? TRUE : FALSE;
}

std::string bytes(const char* s) { return s ? std::string(s) : std::string(); }
// A station text or title as the engine keeps it (UTF-8).
std::string callerText(const char* s) { return text::fromCaller(bytes(s)); }

Registry& reg() { return Registry::instance(); }

std::shared_ptr<Source> sourceOf(DWORD h) {
    auto o = reg().get(h);
    if (o && (o->kind == Kind::Push || o->kind == Kind::Record)) return std::static_pointer_cast<Source>(o);
    return nullptr;
}

int errorOf(const std::system_error& e) {
    // A thread, pipe or lock the system would not give: out of resources, as for memory.
    const auto c = e.code();
    if (c == std::errc::resource_unavailable_try_again || c == std::errc::not_enough_memory ||
        c == std::errc::too_many_files_open)
        return BASS_ERROR_MEM;
    return BASS_ERROR_UNKNOWN;
}

template <typename R, typename F>
R guarded(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        setError(BASS_ERROR_MEM);
    } catch (const std::system_error& e) {
        setError(errorOf(e));
    } catch (...) {
        setError(BASS_ERROR_UNKNOWN);
    }
    return failure;
}

constexpr DWORD kNoBytes = static_cast<DWORD>(-1);
constexpr QWORD kNoPosition = static_cast<QWORD>(-1);
constexpr DWORD kNoInput = static_cast<DWORD>(-1);

}  // namespace

void larkspurEngineCounts(LarkspurEngineCounts* out) {
    if (!out) return;
    out->handles = reg().count();
    out->objects = Object::alive();
    out->heldNotices = notify::held();
    out->queuedNotices = notify::queued();
}

void larkspurEngineFailThreads(unsigned points) { faults::arm(points); }

void larkspurEngineSetLookup(LarkspurLookup lookup, LarkspurRelease release) {
    net::setLookupForTests(lookup, release);
}

extern "C" {

int BASS_ErrorGetCode(void) { return lastError(); }

BOOL BASS_Init(int device, DWORD freq, DWORD, void*, const void*) {
    return guarded(FALSE, [&] { return result(device::init(device, freq)); });
}

BOOL BASS_Free(void) {
    return guarded(FALSE, [&] {
        int err = device::free();
        if (err) return result(err);
        // Everything made on the device goes with it; no callback runs after this returns.
        lifetime::freeAll();
        capture::close();
        return ok();
    });
}

BOOL BASS_RecordGetDeviceInfo(DWORD device, BASS_DEVICEINFO* info) {
    return guarded(FALSE, [&] {
        if (!info) return result(BASS_ERROR_ILLPARAM);
        capture::DeviceEntry e{};
        int err = 0;
        if (!capture::deviceInfo(device, e, err)) return result(err);
        info->name = e.name;
        info->driver = e.driver;
        info->flags = e.flags;
        return ok();
    });
}

BOOL BASS_RecordInit(int device) {
    return guarded(FALSE, [&] { return result(capture::open(device)); });
}

BOOL BASS_RecordCancel(void) {
    return guarded(FALSE, [&] {
        capture::cancelOpen();
        return ok();
    });
}

BOOL BASS_RecordFree(void) {
    return guarded(FALSE, [&] {
        for (auto& o : reg().all(Kind::Record)) lifetime::freeSource(o->handle.load());
        return result(capture::close());
    });
}

HRECORD BASS_RecordStart(DWORD freq, DWORD chans, DWORD flags, RECORDPROC* proc, void*) {
    return guarded(HRECORD{0}, [&] {
        if (proc) return fail<HRECORD>(BASS_ERROR_NOTAVAIL);  // the mixer pulls; no callbacks here
        if (flags & (BASS_SAMPLE_8BITS | BASS_SAMPLE_FLOAT)) return fail<HRECORD>(BASS_ERROR_FORMAT);
        int err = 0;
        auto ch = capture::start(freq, chans, (flags & BASS_RECORD_PAUSE) != 0, err);
        if (!ch) return fail<HRECORD>(err);
        DWORD h = reg().add(ch);
        if (!h) {
            capture::close();
            return fail<HRECORD>(BASS_ERROR_MEM);
        }
        setError(BASS_OK);
        return h;
    });
}

BOOL BASS_RecordSetInput(int input, DWORD flags, float volume) {
    return guarded(FALSE, [&] {
        if (input != -1) return result(BASS_ERROR_ILLPARAM);
        if (flags != 0 && flags != BASS_INPUT_ON && flags != BASS_INPUT_OFF) return result(BASS_ERROR_ILLPARAM);
        if (!(volume >= 0.0f && volume <= 1.0f)) return result(BASS_ERROR_ILLPARAM);  // NaN too
        return result(capture::setLevel(flags == BASS_INPUT_OFF ? 0.0f : volume));
    });
}

DWORD BASS_RecordGetInput(int input, float* volume) {
    return guarded(kNoInput, [&] {
        if (input != -1) return fail(BASS_ERROR_ILLPARAM, kNoInput);
        float level = 0.0f;
        bool off = false;
        if (const int err = capture::level(level, off)) return fail(err, kNoInput);
        if (volume) *volume = level;
        setError(BASS_OK);
        return off ? DWORD{BASS_INPUT_OFF} : DWORD{0};
    });
}

HSTREAM BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC* proc, void*) {
    return guarded(HSTREAM{0}, [&] {
        if (proc != STREAMPROC_PUSH) return fail<HSTREAM>(BASS_ERROR_NOTAVAIL);
        if (flags & (BASS_SAMPLE_8BITS | BASS_SAMPLE_FLOAT)) return fail<HSTREAM>(BASS_ERROR_FORMAT);
        if (chans < 1 || chans > 8) return fail<HSTREAM>(BASS_ERROR_FORMAT);
        if (freq < 1000 || freq > 384000) return fail<HSTREAM>(BASS_ERROR_FREQ);
        DWORD h = reg().add(std::make_shared<PushStream>(freq, chans));
        if (!h) return fail<HSTREAM>(BASS_ERROR_MEM);
        setError(BASS_OK);
        return h;
    });
}

// The sample tap: no lock, no allocation, no system call (and nothing that throws).
DWORD BASS_StreamPutData(HSTREAM handle, const void* buffer, DWORD length) {
    Object* o = reg().acquire(handle);
    if (!o) {
        setError(BASS_ERROR_HANDLE);
        return kNoBytes;
    }
    DWORD queued = kNoBytes;
    int err = BASS_ERROR_HANDLE;
    if (o->kind == Kind::Push) {
        auto* s = static_cast<Source*>(o);
        if (length && !buffer) {
            err = BASS_ERROR_ILLPARAM;
        } else {
            queued = static_cast<DWORD>(length ? s->put(buffer, length) : s->queued());
            err = BASS_OK;
        }
    }
    reg().release(handle);
    setError(err);
    return queued;
}

BOOL BASS_StreamFree(HSTREAM handle) {
    return guarded(FALSE, [&] {
        auto o = reg().get(handle);
        if (!o) return result(BASS_ERROR_HANDLE);
        if (o->kind == Kind::Mixer) return result(lifetime::freeMixer(handle) ? BASS_OK : BASS_ERROR_HANDLE);
        if (o->kind != Kind::Push) return result(BASS_ERROR_HANDLE);
        return result(lifetime::freeSource(handle) ? BASS_OK : BASS_ERROR_HANDLE);
    });
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL) {
    return guarded(FALSE, [&] {
        auto o = reg().get(handle);
        if (!o) return result(BASS_ERROR_HANDLE);
        switch (o->kind) {
        case Kind::Mixer:
            return result(lifetime::playMixer(std::static_pointer_cast<Mixer>(o)));
        case Kind::Record:
            return result(capture::setRunning(*std::static_pointer_cast<Source>(o), true));
        case Kind::Push:
            std::static_pointer_cast<Source>(o)->setActive(true);
            return ok();
        default:
            return result(BASS_ERROR_HANDLE);
        }
    });
}

BOOL BASS_ChannelStop(DWORD handle) {
    return guarded(FALSE, [&] {
        auto o = reg().get(handle);
        if (!o) return result(BASS_ERROR_HANDLE);
        switch (o->kind) {
        case Kind::Mixer: {
            auto m = std::static_pointer_cast<Mixer>(o);
            if (m->flags & BASS_STREAM_AUTOFREE) {
                // Another thread freeing it first has done the same.
                lifetime::freeMixer(handle);
            } else {
                device::stop(m.get());
                m->playing.store(false);
            }
            return ok();
        }
        case Kind::Record:
            return result(capture::setRunning(*std::static_pointer_cast<Source>(o), false));
        case Kind::Push:
            std::static_pointer_cast<Source>(o)->setActive(false);
            return ok();
        default:
            return result(BASS_ERROR_HANDLE);
        }
    });
}

BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
    return guarded(FALSE, [&] {
        auto o = reg().get(handle);
        if (!o || o->kind == Kind::Fx || o->kind == Kind::Encoder) return result(BASS_ERROR_HANDLE);
        if (attrib != BASS_ATTRIB_VOL) return result(BASS_ERROR_ILLTYPE);
        if (std::isnan(value) || value < 0.0f) return result(BASS_ERROR_ILLPARAM);
        if (o->kind == Kind::Mixer) std::static_pointer_cast<Mixer>(o)->volume.store(value);
        // A decoding source is never heard by itself: its playback volume has nothing to act on.
        return ok();
    });
}

}  // extern "C"

namespace {

// The level meter of a mixer or a source, with its rate and channel count; null for another handle.
struct Metered {
    const LevelMeter* meter = nullptr;
    DWORD rate = 0, chans = 0;
    std::shared_ptr<Object> owner;
};

Metered meteredOf(DWORD handle) {
    auto o = reg().get(handle);
    if (o && o->kind == Kind::Mixer) {
        auto m = std::static_pointer_cast<Mixer>(o);
        return {&m->level, m->rate, m->chans, o};
    }
    if (auto s = sourceOf(handle)) return {&s->level, s->rate, s->chans, s};
    return {};
}

// A stalled channel reads as silence once it has noted nothing for the asked length and a
// device period or two more.
constexpr auto kStaleGrace = std::chrono::milliseconds(60);

}  // namespace

extern "C" {

DWORD BASS_ChannelGetLevel(DWORD handle) {
    return guarded(kNoBytes, [&] {
        Metered m = meteredOf(handle);
        if (!m.meter) return fail(BASS_ERROR_HANDLE, kNoBytes);
        const auto p = m.meter->read(m.rate / 50, LevelMeter::Clock::now(), std::chrono::milliseconds(20) + kStaleGrace);
        setError(BASS_OK);
        return DWORD(p.left | p.right << 16);
    });
}

BOOL BASS_ChannelGetLevelEx(DWORD handle, float* levels, float length, DWORD flags) {
    return guarded(FALSE, [&] {
        Metered m = meteredOf(handle);
        if (!m.meter) return result(BASS_ERROR_HANDLE);
        if (!levels || !(length >= 0.0f && length <= 1.0f) || (flags & ~DWORD(BASS_LEVEL_MONO | BASS_LEVEL_STEREO)) ||
            flags == (BASS_LEVEL_MONO | BASS_LEVEL_STEREO))
            return result(BASS_ERROR_ILLPARAM);
        const auto asked = std::chrono::microseconds(static_cast<long long>(length * 1e6f));
        const auto p = m.meter->read(static_cast<size_t>(length * float(m.rate)), LevelMeter::Clock::now(),
                                     asked + kStaleGrace);
        const float left = float(p.left) / 32768.0f, right = float(p.right) / 32768.0f;
        if (flags & BASS_LEVEL_MONO) {
            levels[0] = std::max(left, right);
        } else if (flags & BASS_LEVEL_STEREO || m.chans >= 2) {
            levels[0] = left;
            levels[1] = right;
            // Channels past the first two are not metered apart: they read as the louder side.
            for (DWORD c = 2; !(flags & BASS_LEVEL_STEREO) && c < m.chans; ++c) levels[c] = std::max(left, right);
        } else {
            levels[0] = left;
        }
        return ok();
    });
}

double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos) {
    return guarded(-1.0, [&] {
        auto o = reg().get(handle);
        DWORD rate = 0, chans = 0;
        if (o && o->kind == Kind::Mixer) {
            auto m = std::static_pointer_cast<Mixer>(o);
            rate = m->rate, chans = m->chans;
        } else if (auto s = sourceOf(handle)) {
            rate = s->rate, chans = s->chans;
        }
        if (!rate) return fail(BASS_ERROR_HANDLE, -1.0);
        setError(BASS_OK);
        return static_cast<double>(pos) / (static_cast<double>(rate) * chans * 2);
    });
}

DWORD BASS_ChannelIsActive(DWORD handle) {
    return guarded(DWORD{BASS_ACTIVE_STOPPED}, [&]() -> DWORD {
        auto o = reg().get(handle);
        if (!o) return fail(BASS_ERROR_HANDLE, DWORD{BASS_ACTIVE_STOPPED});
        DWORD state = BASS_ACTIVE_STOPPED;
        switch (o->kind) {
        case Kind::Mixer:
            if (std::static_pointer_cast<Mixer>(o)->playing.load()) state = BASS_ACTIVE_PLAYING;
            break;
        case Kind::Record: {
            auto s = std::static_pointer_cast<Source>(o);
            state = capture::isLost(*s) ? BASS_ACTIVE_STALLED : s->active() ? BASS_ACTIVE_PLAYING : BASS_ACTIVE_PAUSED;
            break;
        }
        case Kind::Push:
            if (std::static_pointer_cast<Source>(o)->active()) state = BASS_ACTIVE_PLAYING;
            break;
        default:
            return fail(BASS_ERROR_HANDLE, DWORD{BASS_ACTIVE_STOPPED});
        }
        setError(BASS_OK);
        return state;
    });
}

DWORD BASS_FX_GetVersion(void) {
    setError(BASS_OK);
    return 0x02040000;
}

HFX BASS_ChannelSetFX(DWORD handle, DWORD type, int) {
    return guarded(HFX{0}, [&] {
        auto s = sourceOf(handle);
        if (!s) return fail<HFX>(BASS_ERROR_HANDLE);
        if (type != BASS_FX_BFX_VOLUME) return fail<HFX>(BASS_ERROR_ILLTYPE);
        DWORD fx = 0;
        if (int err = lifetime::addEffect(s, fx)) return fail<HFX>(err);
        setError(BASS_OK);
        return fx;
    });
}

BOOL BASS_FXSetParameters(HFX handle, const void* params) {
    return guarded(FALSE, [&] {
        auto fx = reg().get<VolumeFx>(handle, Kind::Fx);
        if (!fx) return result(BASS_ERROR_HANDLE);
        if (!params) return result(BASS_ERROR_ILLPARAM);
        BASS_BFX_VOLUME p;
        std::memcpy(&p, params, sizeof p);
        if (std::isnan(p.fVolume) || p.fVolume < 0.0f || p.lChannel != 0) return result(BASS_ERROR_ILLPARAM);
        auto s = fx->stream.lock();
        if (!s) return result(BASS_ERROR_HANDLE);
        s->setVolume(p.fVolume);
        return ok();
    });
}

HSTREAM BASS_Mixer_StreamCreate(DWORD freq, DWORD chans, DWORD flags) {
    return guarded(HSTREAM{0}, [&] {
        if (flags & (BASS_SAMPLE_8BITS | BASS_SAMPLE_FLOAT)) return fail<HSTREAM>(BASS_ERROR_FORMAT);
        if (chans < 1 || chans > 8) return fail<HSTREAM>(BASS_ERROR_FORMAT);
        if (freq < 1000 || freq > 384000) return fail<HSTREAM>(BASS_ERROR_FREQ);
        DWORD h = reg().add(std::make_shared<Mixer>(freq, chans, flags));
        if (!h) return fail<HSTREAM>(BASS_ERROR_MEM);
        setError(BASS_OK);
        return h;
    });
}

BOOL BASS_Mixer_StreamAddChannel(HSTREAM handle, DWORD channel, DWORD) {
    return guarded(FALSE, [&] {
        auto m = reg().get<Mixer>(handle, Kind::Mixer);
        if (!m) return result(BASS_ERROR_HANDLE);
        auto s = sourceOf(channel);
        if (!s) return result(BASS_ERROR_HANDLE);
        return result(m->addSource(s));
    });
}

QWORD BASS_Mixer_ChannelGetPosition(DWORD handle, DWORD mode) {
    return guarded(kNoPosition, [&] {
        auto s = sourceOf(handle);
        if (!s || s->mixer.load() == nullptr) return fail(BASS_ERROR_HANDLE, kNoPosition);
        if (mode != BASS_POS_BYTE) return fail(BASS_ERROR_NOTAVAIL, kNoPosition);
        setError(BASS_OK);
        return static_cast<QWORD>(s->bytesTaken());
    });
}

namespace {
// One chained format at most, and raw samples: each link is a fresh program.
bool encodeFlagsValid(DWORD flags) {
    const DWORD chained = flags & (BASS_ENCODE_CHAIN_OPUS | BASS_ENCODE_CHAIN_FLAC);
    return !chained || (chain::formatOf(flags) != 0 && (flags & BASS_ENCODE_NOHEAD));
}
}  // namespace

HENCODE BASS_Encode_Start(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc, void* user) {
    return guarded(HENCODE{0}, [&] {
        auto m = reg().get<Mixer>(handle, Kind::Mixer);
        if (!m) return fail<HENCODE>(BASS_ERROR_HANDLE);
        if (!cmdline || !*cmdline) return fail<HENCODE>(BASS_ERROR_ILLPARAM);
        if (!encodeFlagsValid(flags)) return fail<HENCODE>(BASS_ERROR_ILLPARAM);
        auto enc = std::make_shared<Encoder>(m->rate, m->chans, proc, user);
        DWORD h = 0;
        int err = lifetime::startEncoder(enc, cmdline, !(flags & BASS_ENCODE_NOHEAD), handle, flags, h);
        if (err) return fail<HENCODE>(err);
        if ((err = lifetime::addEncoder(m, enc))) return fail<HENCODE>(err);
        enc->releaseOutput();
        setError(BASS_OK);
        return h;
    });
}

BOOL BASS_Encode_Stop(HENCODE handle) {
    return guarded(FALSE, [&] {
        if (!reg().get<Encoder>(handle, Kind::Encoder)) return result(BASS_ERROR_HANDLE);
        return result(lifetime::freeEncoder(handle) ? BASS_OK : BASS_ERROR_HANDLE);
    });
}

HENCODE BASS_Encode_StartFile(DWORD handle, const char* cmdline, DWORD flags, const char* file) {
    return guarded(HENCODE{0}, [&] {
        auto m = reg().get<Mixer>(handle, Kind::Mixer);
        if (!m) return fail<HENCODE>(BASS_ERROR_HANDLE);
        if (!cmdline || !*cmdline || !file || !*file || !encodeFlagsValid(flags))
            return fail<HENCODE>(BASS_ERROR_ILLPARAM);
        DWORD h = 0;
        if (int err = recording::start(m, cmdline, !(flags & BASS_ENCODE_NOHEAD), flags, file, h))
            return fail<HENCODE>(err);
        setError(BASS_OK);
        return h;
    });
}

HENCODE BASS_Encode_SplitFile(HENCODE handle, const char* file) {
    return guarded(HENCODE{0}, [&] {
        auto enc = reg().get<Encoder>(handle, Kind::Encoder);
        if (!enc) return fail<HENCODE>(BASS_ERROR_HANDLE);
        if (!file || !*file) return fail<HENCODE>(BASS_ERROR_ILLPARAM);
        DWORD h = 0;
        if (int err = recording::split(enc, file, h)) return fail<HENCODE>(err);
        setError(BASS_OK);
        return h;
    });
}

BOOL BASS_Encode_CastInit(HENCODE handle, const char* server, const char* pass, const char* content, const char* name,
                          const char* url, const char* genre, const char* desc, const char* headers, DWORD bitrate,
                          BOOL pub) {
    return guarded(FALSE, [&] {
        auto enc = reg().get<Encoder>(handle, Kind::Encoder);
        if (!enc) return result(BASS_ERROR_HANDLE);
        if (enc->writesFile()) return result(BASS_ERROR_NOTAVAIL);
        if (!server || !*server) return result(BASS_ERROR_ILLPARAM);
        icy::CastParams p;
        // The password goes as given: the server compares it byte for byte.
        p.password = bytes(pass);
        p.content = bytes(content);
        p.name = callerText(name);
        p.url = callerText(url);
        p.genre = callerText(genre);
        p.desc = callerText(desc);
        p.headers = callerText(headers);
        p.bitrate = bitrate;
        p.pub = pub != FALSE;
        return result(enc->castInit(server, p));
    });
}

BOOL BASS_Encode_CastCancel(HENCODE handle) {
    return guarded(FALSE, [&] {
        auto enc = reg().get<Encoder>(handle, Kind::Encoder);
        if (!enc) return result(BASS_ERROR_HANDLE);
        enc->cancelCast();
        return ok();
    });
}

BOOL BASS_Encode_CastSetTitle(HENCODE handle, const char* title, const char* url) {
    return guarded(FALSE, [&] {
        auto enc = reg().get<Encoder>(handle, Kind::Encoder);
        if (!enc) return result(BASS_ERROR_HANDLE);
        return result(enc->castSetTitle(callerText(title), callerText(url)));
    });
}

BOOL BASS_Encode_SetNotify(HENCODE handle, ENCODENOTIFYPROC* proc, void* user) {
    return guarded(FALSE, [&] {
        auto enc = reg().get<Encoder>(handle, Kind::Encoder);
        if (!enc) return result(BASS_ERROR_HANDLE);
        return result(lifetime::setNotify(enc, proc, user));
    });
}

}  // extern "C"
