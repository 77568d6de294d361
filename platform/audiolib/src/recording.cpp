#include "recording.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

#include "handles.h"
#include "lifetime.h"
#include "notify.h"
#include "threads.h"

namespace bassx::recording {
namespace {

// Time for a program to flush what it was fed into the old file of a split (the program
// itself usually needs a few milliseconds).
constexpr int kFinishBoundMs = 3000;

Registry& reg() { return Registry::instance(); }

// Recordings finishing their file after a split. Lock order: this one, then an encoder's.
std::mutex finishingMutex;
std::vector<std::shared_ptr<Encoder>>& finishing = *new std::vector<std::shared_ptr<Encoder>>;

// A started encoder writing into a new file, not yet tied to any mixer; 0 on success.
int make(DWORD rate, DWORD chans, DWORD channel, const std::string& cmdline, bool withHeader, DWORD flags,
         const std::string& file, std::shared_ptr<Encoder>& enc, DWORD& h) {
    auto out = std::make_unique<FileOutput>();
    if (int err = out->open(file)) return err;
    enc = std::make_shared<Encoder>(rate, chans, nullptr, nullptr);
    enc->setFile(std::move(out));
    const int err = lifetime::startEncoder(enc, cmdline, withHeader, channel, flags, h);
    if (err) {
        enc.reset();  // closes the file, which nothing was written into
        std::remove(file.c_str());
    }
    return err;
}

void finishInBackground(const std::shared_ptr<Encoder>& enc) {
    std::lock_guard<std::mutex> lock(finishingMutex);
    finishing.push_back(enc);
    try {
        startThread([enc] {
            enc->finish(kFinishBoundMs);
            std::lock_guard<std::mutex> guard(finishingMutex);
            std::erase(finishing, enc);
        }).detach();
    } catch (...) {
        // No thread: it ends here, with what the program had flushed so far.
        std::erase(finishing, enc);
        enc->shutdown();
    }
}

}  // namespace

int start(const std::shared_ptr<Mixer>& m, const std::string& cmdline, bool withHeader, DWORD flags,
          const std::string& file, DWORD& out) {
    std::shared_ptr<Encoder> enc;
    DWORD h = 0;
    if (int err = make(m->rate, m->chans, m->handle.load(), cmdline, withHeader, flags, file, enc, h)) return err;
    if (int err = lifetime::addEncoder(m, enc)) return err;
    enc->releaseOutput();
    out = h;
    return BASS_OK;
}

int split(const std::shared_ptr<Encoder>& old, const std::string& file, DWORD& out) {
    if (!old->writesFile()) return BASS_ERROR_NOTAVAIL;
    auto m = reg().get<Mixer>(old->channel(), Kind::Mixer);
    if (!m) return BASS_ERROR_HANDLE;
    std::shared_ptr<Encoder> next;
    DWORD h = 0;
    if (int err = make(m->rate, m->chans, old->channel(), old->commandLine(), old->withHeader(), old->chainFormat(), file,
                       next, h))
        return err;
    if (!m->replaceSink(old.get(), next)) {
        // The mixer or the old recording went meanwhile: nothing to hand over.
        reg().remove(h);
        lifetime::endEncoder(next);
        return BASS_ERROR_HANDLE;
    }
    next->releaseOutput();
    // The old handle dies with its notices; its file is finished, not cut.
    const DWORD oldHandle = old->handle.load();
    if (reg().remove(oldHandle)) notify::forget(oldHandle);
    finishInBackground(old);
    out = h;
    return BASS_OK;
}

void endFinishing() {
    std::vector<std::shared_ptr<Encoder>> all;
    {
        std::lock_guard<std::mutex> lock(finishingMutex);
        all = finishing;
    }
    for (auto& enc : all) enc->shutdown();
}

}  // namespace bassx::recording
