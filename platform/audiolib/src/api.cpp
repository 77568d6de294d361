// The C entry points: argument checks, handle lookups and the per-thread error code; the
// work is done by the engine's pieces.
#include <cmath>
#include <cstring>
#include <string>

#include "bass.h"
#include "capture.h"
#include "device.h"
#include "encoder.h"
#include "error.h"
#include "handles.h"
#include "mixer.h"
#include "notify.h"
#include "push_stream.h"

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

std::string text(const char* s) { return s ? std::string(s) : std::string(); }

Registry& reg() { return Registry::instance(); }

std::shared_ptr<Source> sourceOf(DWORD h) {
    auto o = reg().get(h);
    if (o && (o->kind == Kind::Push || o->kind == Kind::Record)) return std::static_pointer_cast<Source>(o);
    return nullptr;
}

// Ends a mixer: off the clock, sources unplugged, encoders ended and their handles dead.
void endMixer(const std::shared_ptr<Mixer>& m) {
    device::stop(m.get());
    m->playing.store(false);
    for (auto& sink : m->detach()) {
        auto enc = std::static_pointer_cast<Encoder>(sink);
        DWORD h = enc->handle.load();
        reg().remove(h);
        notify::forget(h);
        enc->shutdown();
    }
}

void removeMixer(DWORD h) {
    auto o = reg().remove(h);
    if (o) endMixer(std::static_pointer_cast<Mixer>(o));
}

}  // namespace

extern "C" {

int BASS_ErrorGetCode(void) { return lastError(); }

BOOL BASS_Init(int device, DWORD freq, DWORD, void*, const void*) { return result(device::init(device, freq)); }

BOOL BASS_Free(void) {
    int err = device::free();
    if (err) return result(err);
    // Everything made on the device goes with it; no callback runs after this returns.
    notify::forgetAll();
    for (auto& o : reg().all()) {
        DWORD h = o->handle.load();
        if (o->kind == Kind::Mixer) removeMixer(h);
    }
    for (auto& o : reg().all()) reg().remove(o->handle.load());
    capture::close();
    return ok();
}

BOOL BASS_RecordGetDeviceInfo(DWORD device, BASS_DEVICEINFO* info) {
    if (!info) return result(BASS_ERROR_ILLPARAM);
    capture::DeviceEntry e{};
    int err = 0;
    if (!capture::deviceInfo(device, e, err)) return result(err);
    info->name = e.name;
    info->driver = e.driver;
    info->flags = e.flags;
    return ok();
}

BOOL BASS_RecordInit(int device) { return result(capture::open(device)); }

BOOL BASS_RecordFree(void) {
    for (auto& o : reg().all())
        if (o->kind == Kind::Record) reg().remove(o->handle.load());
    return result(capture::close());
}

HRECORD BASS_RecordStart(DWORD freq, DWORD chans, DWORD flags, RECORDPROC* proc, void*) {
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
}

BOOL BASS_RecordSetInput(int input, DWORD flags, float volume) {
    if (input != -1) return result(BASS_ERROR_ILLPARAM);
    if (flags != 0 && flags != BASS_INPUT_ON && flags != BASS_INPUT_OFF) return result(BASS_ERROR_ILLPARAM);
    if (!(volume >= 0.0f && volume <= 1.0f)) return result(BASS_ERROR_ILLPARAM);  // NaN too
    return result(capture::setLevel(flags == BASS_INPUT_OFF ? 0.0f : volume));
}

HSTREAM BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC* proc, void*) {
    if (proc != STREAMPROC_PUSH) return fail<HSTREAM>(BASS_ERROR_NOTAVAIL);
    if (flags & (BASS_SAMPLE_8BITS | BASS_SAMPLE_FLOAT)) return fail<HSTREAM>(BASS_ERROR_FORMAT);
    if (chans < 1 || chans > 8) return fail<HSTREAM>(BASS_ERROR_FORMAT);
    if (freq < 1000 || freq > 384000) return fail<HSTREAM>(BASS_ERROR_FREQ);
    DWORD h = reg().add(std::make_shared<PushStream>(freq, chans));
    if (!h) return fail<HSTREAM>(BASS_ERROR_MEM);
    setError(BASS_OK);
    return h;
}

// The sample tap: no lock, no allocation, no system call.
DWORD BASS_StreamPutData(HSTREAM handle, const void* buffer, DWORD length) {
    Object* o = reg().acquire(handle);
    if (!o) {
        setError(BASS_ERROR_HANDLE);
        return static_cast<DWORD>(-1);
    }
    DWORD queued = static_cast<DWORD>(-1);
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
    auto o = reg().get(handle);
    if (!o) return result(BASS_ERROR_HANDLE);
    if (o->kind == Kind::Mixer) {
        removeMixer(handle);
        return ok();
    }
    if (o->kind != Kind::Push) return result(BASS_ERROR_HANDLE);
    auto s = std::static_pointer_cast<Source>(reg().remove(handle));
    if (s) s->setActive(false);
    return ok();
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL) {
    auto o = reg().get(handle);
    if (!o) return result(BASS_ERROR_HANDLE);
    switch (o->kind) {
    case Kind::Mixer: {
        auto m = std::static_pointer_cast<Mixer>(o);
        int err = device::play(m);
        if (!err) m->playing.store(true);
        return result(err);
    }
    case Kind::Record:
        return result(capture::setRunning(*std::static_pointer_cast<Source>(o), true));
    case Kind::Push:
        std::static_pointer_cast<Source>(o)->setActive(true);
        return ok();
    default:
        return result(BASS_ERROR_HANDLE);
    }
}

BOOL BASS_ChannelStop(DWORD handle) {
    auto o = reg().get(handle);
    if (!o) return result(BASS_ERROR_HANDLE);
    switch (o->kind) {
    case Kind::Mixer: {
        auto m = std::static_pointer_cast<Mixer>(o);
        if (m->flags & BASS_STREAM_AUTOFREE) {
            removeMixer(handle);
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
}

BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
    auto o = reg().get(handle);
    if (!o || o->kind == Kind::Fx || o->kind == Kind::Encoder) return result(BASS_ERROR_HANDLE);
    if (attrib != BASS_ATTRIB_VOL) return result(BASS_ERROR_ILLTYPE);
    if (std::isnan(value) || value < 0.0f) return result(BASS_ERROR_ILLPARAM);
    if (o->kind == Kind::Mixer) std::static_pointer_cast<Mixer>(o)->volume.store(value);
    // A decoding source is never heard by itself: its playback volume has nothing to act on.
    return ok();
}

double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos) {
    auto o = reg().get(handle);
    DWORD rate = 0, chans = 0;
    if (o && o->kind == Kind::Mixer) {
        auto m = std::static_pointer_cast<Mixer>(o);
        rate = m->rate, chans = m->chans;
    } else if (auto s = sourceOf(handle)) {
        rate = s->rate, chans = s->chans;
    }
    if (!rate) {
        setError(BASS_ERROR_HANDLE);
        return -1;
    }
    setError(BASS_OK);
    return static_cast<double>(pos) / (static_cast<double>(rate) * chans * 2);
}

DWORD BASS_FX_GetVersion(void) {
    setError(BASS_OK);
    return 0x02040000;
}

HFX BASS_ChannelSetFX(DWORD handle, DWORD type, int) {
    auto s = sourceOf(handle);
    if (!s) return fail<HFX>(BASS_ERROR_HANDLE);
    if (type != BASS_FX_BFX_VOLUME) return fail<HFX>(BASS_ERROR_ILLTYPE);
    DWORD h = reg().add(std::make_shared<VolumeFx>(s));
    if (!h) return fail<HFX>(BASS_ERROR_MEM);
    setError(BASS_OK);
    return h;
}

BOOL BASS_FXSetParameters(HFX handle, const void* params) {
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
}

HSTREAM BASS_Mixer_StreamCreate(DWORD freq, DWORD chans, DWORD flags) {
    if (flags & (BASS_SAMPLE_8BITS | BASS_SAMPLE_FLOAT)) return fail<HSTREAM>(BASS_ERROR_FORMAT);
    if (chans < 1 || chans > 8) return fail<HSTREAM>(BASS_ERROR_FORMAT);
    if (freq < 1000 || freq > 384000) return fail<HSTREAM>(BASS_ERROR_FREQ);
    DWORD h = reg().add(std::make_shared<Mixer>(freq, chans, flags));
    if (!h) return fail<HSTREAM>(BASS_ERROR_MEM);
    setError(BASS_OK);
    return h;
}

BOOL BASS_Mixer_StreamAddChannel(HSTREAM handle, DWORD channel, DWORD) {
    auto m = reg().get<Mixer>(handle, Kind::Mixer);
    if (!m) return result(BASS_ERROR_HANDLE);
    auto s = sourceOf(channel);
    if (!s) return result(BASS_ERROR_HANDLE);
    return result(m->addSource(s));
}

QWORD BASS_Mixer_ChannelGetPosition(DWORD handle, DWORD mode) {
    auto s = sourceOf(handle);
    if (!s || s->mixer.load() == nullptr) {
        setError(BASS_ERROR_HANDLE);
        return static_cast<QWORD>(-1);
    }
    if (mode != BASS_POS_BYTE) {
        setError(BASS_ERROR_NOTAVAIL);
        return static_cast<QWORD>(-1);
    }
    setError(BASS_OK);
    return s->bytesTaken();
}

HENCODE BASS_Encode_Start(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc, void* user) {
    auto m = reg().get<Mixer>(handle, Kind::Mixer);
    if (!m) return fail<HENCODE>(BASS_ERROR_HANDLE);
    if (!cmdline || !*cmdline) return fail<HENCODE>(BASS_ERROR_ILLPARAM);
    auto enc = std::make_shared<Encoder>(m->rate, m->chans, proc, user);
    DWORD h = reg().add(enc);
    if (!h) return fail<HENCODE>(BASS_ERROR_MEM);
    int err = enc->start(cmdline, !(flags & BASS_ENCODE_NOHEAD), handle);
    if (err) {
        reg().remove(h);
        enc->shutdown();
        return fail<HENCODE>(err);
    }
    m->addSink(enc);
    if (!reg().get(handle)) {
        // The mixer went while we started: nothing would ever end this encoder.
        m->removeSink(enc.get());
        reg().remove(h);
        enc->shutdown();
        return fail<HENCODE>(BASS_ERROR_HANDLE);
    }
    setError(BASS_OK);
    return h;
}

BOOL BASS_Encode_CastInit(HENCODE handle, const char* server, const char* pass, const char* content, const char* name,
                          const char* url, const char* genre, const char* desc, const char* headers, DWORD bitrate,
                          BOOL pub) {
    auto enc = reg().get<Encoder>(handle, Kind::Encoder);
    if (!enc) return result(BASS_ERROR_HANDLE);
    if (!server || !*server) return result(BASS_ERROR_ILLPARAM);
    icy::CastParams p;
    p.password = text(pass);
    p.content = text(content);
    p.name = text(name);
    p.url = text(url);
    p.genre = text(genre);
    p.desc = text(desc);
    p.headers = text(headers);
    p.bitrate = bitrate;
    p.pub = pub != FALSE;
    return result(enc->castInit(server, p));
}

BOOL BASS_Encode_CastSetTitle(HENCODE handle, const char* title, const char* url) {
    auto enc = reg().get<Encoder>(handle, Kind::Encoder);
    if (!enc) return result(BASS_ERROR_HANDLE);
    return result(enc->castSetTitle(text(title), text(url)));
}

BOOL BASS_Encode_SetNotify(HENCODE handle, ENCODENOTIFYPROC* proc, void* user) {
    if (!reg().get<Encoder>(handle, Kind::Encoder)) return result(BASS_ERROR_HANDLE);
    notify::set(handle, proc, user);
    return ok();
}

}  // extern "C"
