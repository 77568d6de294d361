#include "lifetime.h"

#include "device.h"
#include "handles.h"
#include "notify.h"
#include "push_stream.h"
#include "recording.h"

namespace bassx::lifetime {
namespace {

Registry& reg() { return Registry::instance(); }

void endMixer(const std::shared_ptr<Mixer>& m) {
    device::stop(m.get());
    m->playing.store(false);
    // Every encoder is asked to end, and every program's input closed, before any program is
    // waited for: a stop takes one grace time, not one per encoder.
    auto sinks = m->detach();
    for (auto& sink : sinks) {
        auto enc = std::static_pointer_cast<Encoder>(sink);
        reg().remove(enc->handle.load());
        enc->beginShutdown();
    }
    for (auto& sink : sinks) std::static_pointer_cast<Encoder>(sink)->closeInput();
    for (auto& sink : sinks) endEncoder(std::static_pointer_cast<Encoder>(sink));
}

}  // namespace

void endEncoder(const std::shared_ptr<Encoder>& enc) {
    notify::forget(enc->handle.load());
    enc->shutdown();
}

int startEncoder(const std::shared_ptr<Encoder>& enc, const std::string& cmdline, bool withHeader, DWORD channel,
                 DWORD flags, DWORD& h) {
    h = reg().add(enc);
    if (!h) return BASS_ERROR_MEM;
    int err = BASS_OK;
    try {
        err = enc->start(cmdline, withHeader, channel, flags);
    } catch (...) {
        // Half started (a thread that could not be created): end what did start.
        reg().remove(h);
        endEncoder(enc);
        throw;
    }
    if (err) {
        reg().remove(h);
        endEncoder(enc);
    }
    return err;
}

bool freeSource(DWORD h) {
    auto o = reg().remove(h);  // its effects go with the handle
    if (!o) return false;
    auto s = std::static_pointer_cast<Source>(o);
    s->setActive(false);
    // Released now: a mixer that ties it from here on unties it again (Mixer::addSource), one
    // that has it is found here. A mixer being ended on another thread unplugs it itself.
    if (s->mixer.load())
        for (auto& m : reg().all(Kind::Mixer)) std::static_pointer_cast<Mixer>(m)->removeSource(s.get());
    return true;
}

bool freeMixer(DWORD h) {
    auto o = reg().remove(h);
    if (!o) return false;
    endMixer(std::static_pointer_cast<Mixer>(o));
    return true;
}

bool freeEncoder(DWORD h) {
    auto o = reg().remove(h);
    if (!o) return false;
    auto enc = std::static_pointer_cast<Encoder>(o);
    if (auto m = reg().get<Mixer>(enc->channel(), Kind::Mixer)) m->removeSink(enc.get());
    endEncoder(enc);
    return true;
}

void freeAll() {
    notify::forgetAll();
    for (auto& m : reg().all(Kind::Mixer)) freeMixer(m->handle.load());
    recording::endFinishing();
    for (auto& o : reg().all()) {
        if (o->kind == Kind::Push || o->kind == Kind::Record)
            freeSource(o->handle.load());
        else
            reg().remove(o->handle.load());
    }
}

int playMixer(const std::shared_ptr<Mixer>& m) {
    int err = device::play(m);
    if (err) return err;
    // Freed while we put it on the clock: the free's stop may have run before our play.
    if (m->released.load()) {
        device::stop(m.get());
        return BASS_ERROR_HANDLE;
    }
    m->playing.store(true);
    return BASS_OK;
}

int addEffect(const std::shared_ptr<Source>& s, DWORD& fx) {
    fx = reg().add(std::make_shared<VolumeFx>(s));
    if (!fx) return BASS_ERROR_MEM;
    if (!s->addDependent(fx)) {
        reg().remove(fx);  // the stream was freed meanwhile
        fx = 0;
        return BASS_ERROR_HANDLE;
    }
    return BASS_OK;
}

int addEncoder(const std::shared_ptr<Mixer>& m, const std::shared_ptr<Encoder>& enc) {
    if (m->addSink(enc)) return BASS_OK;
    // The mixer was freed while the encoder started: nothing would ever end it.
    reg().remove(enc->handle.load());
    endEncoder(enc);
    return BASS_ERROR_HANDLE;
}

int setNotify(const std::shared_ptr<Encoder>& enc, ENCODENOTIFYPROC* proc, void* user) {
    return notify::set(*enc, proc, user) ? BASS_OK : BASS_ERROR_HANDLE;
}

}  // namespace bassx::lifetime
