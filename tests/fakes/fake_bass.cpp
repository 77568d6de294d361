#include "fake_bass.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>

namespace fake_bass {
namespace {

struct Failure {
    int code = 0;
    int times = 0;  // < 0: always
};

struct State {
    std::mutex lock;
    std::vector<Call> calls;
    std::map<std::string, Failure> failures;
    std::map<std::string, std::uint64_t> results;
    double seconds = 0;
    std::vector<Device> devices;
    float inputLevel = 1.0f;
    std::map<DWORD, float> levels;
    std::map<std::string, std::function<void(const Call&)>> hooks;
    std::map<HENCODE, std::pair<ENCODENOTIFYPROC*, void*>> notifyProcs;
    HENCODE lastNotifyHandle = 0;
    HENCODE lastEncoder = 0;
    DWORD nextHandle = 1;
};

State& state() {
    static State s;
    return s;
}

void defaults(State& s) {
    s.calls.clear();
    s.failures.clear();
    s.results.clear();
    s.seconds = 0;
    s.devices = {{"Default", "default", BASS_DEVICE_ENABLED | BASS_DEVICE_DEFAULT}};
    s.inputLevel = 1.0f;
    s.levels.clear();
    s.hooks.clear();
    s.notifyProcs.clear();
    s.lastNotifyHandle = 0;
    s.lastEncoder = 0;
    s.nextHandle = 1;
}

struct Init {
    Init() { defaults(state()); }
} init;

thread_local int lastError = BASS_OK;

enum class Returns { Handle, Bool, Value };

// Records the call, decides its outcome and runs the hook. Returns the call as recorded.
Call record(Call call, Returns kind, std::uint64_t defaultValue = 1) {
    State& s = state();
    std::function<void(const Call&)> hook;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        auto f = s.failures.find(call.name);
        if (f != s.failures.end() && f->second.times != 0) {
            call.ok = false;
            call.error = f->second.code;
            if (f->second.times > 0 && --f->second.times == 0) s.failures.erase(f);
        }
        if (call.ok) {
            auto r = s.results.find(call.name);
            if (r != s.results.end())
                call.result = r->second;
            else if (kind == Returns::Handle)
                call.result = s.nextHandle++;
            else
                call.result = defaultValue;
            if (call.name == "BASS_Encode_Start") s.lastEncoder = static_cast<HENCODE>(call.result);
        }
        s.calls.push_back(call);
        auto h = s.hooks.find(call.name);
        if (h != s.hooks.end()) hook = h->second;
    }
    lastError = call.ok ? BASS_OK : call.error;
    if (hook) hook(call);
    return call;
}

std::string quoted(const char* text) {
    if (!text) return "null";
    return "\"" + std::string(text) + "\"";
}

std::string text(const char* t) { return t ? t : ""; }

template <typename... A>
std::string list(const A&... parts) {
    std::ostringstream out;
    const char* sep = "";
    ((out << sep << parts, sep = ", "), ...);
    return out.str();
}

std::string ptr(const void* p) { return p ? "ptr" : "0"; }

Call make(const char* name, std::string args, std::vector<std::int64_t> ints = {},
          std::vector<std::string> texts = {}) {
    Call c;
    c.name = name;
    c.args = std::move(args);
    c.ints = std::move(ints);
    c.texts = std::move(texts);
    return c;
}

}  // namespace

void setLevel(DWORD handle, float level) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().levels[handle] = level;
}

void setInputLevel(float volume) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().inputLevel = volume;
}

float inputLevel() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().inputLevel;
}

void reset() {
    std::lock_guard<std::mutex> guard(state().lock);
    defaults(state());
}

void clearCalls() {
    std::lock_guard<std::mutex> guard(state().lock);
    state().calls.clear();
}

void fail(const std::string& name, int code, int times) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().failures[name] = Failure{code, times};
}

void clearFailure(const std::string& name) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().failures.erase(name);
}

void setResult(const std::string& name, std::uint64_t value) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().results[name] = value;
}

void seconds(double value) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().seconds = value;
}

void setDevices(const std::vector<Device>& devices) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().devices = devices;
}

void onCall(const std::string& name, std::function<void(const Call&)> hook) {
    std::lock_guard<std::mutex> guard(state().lock);
    if (hook)
        state().hooks[name] = std::move(hook);
    else
        state().hooks.erase(name);
}

std::vector<Call> calls() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().calls;
}

std::vector<Call> callsTo(const std::string& name) {
    std::lock_guard<std::mutex> guard(state().lock);
    std::vector<Call> out;
    for (const Call& c : state().calls)
        if (c.name == name) out.push_back(c);
    return out;
}

std::vector<std::string> callNames() {
    std::lock_guard<std::mutex> guard(state().lock);
    std::vector<std::string> out;
    for (const Call& c : state().calls) out.push_back(c.name);
    return out;
}

std::size_t count(const std::string& name) {
    std::lock_guard<std::mutex> guard(state().lock);
    std::size_t n = 0;
    for (const Call& c : state().calls) n += c.name == name;
    return n;
}

std::string lastCommandLine() {
    std::lock_guard<std::mutex> guard(state().lock);
    for (auto it = state().calls.rbegin(); it != state().calls.rend(); ++it)
        if (it->name == "BASS_Encode_Start") return it->texts.empty() ? "" : it->texts[0];
    return "";
}

HENCODE lastEncoder() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().lastEncoder;
}

std::uint64_t pushedBytes() {
    std::lock_guard<std::mutex> guard(state().lock);
    std::uint64_t n = 0;
    for (const Call& c : state().calls)
        if (c.name == "BASS_StreamPutData" && c.ok) n += c.bytes.size();
    return n;
}

bool notify(HENCODE handle, DWORD status) {
    ENCODENOTIFYPROC* proc = nullptr;
    void* user = nullptr;
    {
        std::lock_guard<std::mutex> guard(state().lock);
        HENCODE h = handle ? handle : state().lastNotifyHandle;
        auto it = state().notifyProcs.find(h);
        if (it == state().notifyProcs.end() || !it->second.first) return false;
        proc = it->second.first;
        user = it->second.second;
        handle = h;
    }
    proc(handle, status, user);
    return true;
}

}  // namespace fake_bass

using fake_bass::Call;
using fake_bass::make;
using fake_bass::record;
using fake_bass::Returns;

extern "C" {

int BASS_ErrorGetCode(void) { return fake_bass::lastError; }

BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, const void* dsguid) {
    auto w = reinterpret_cast<std::uintptr_t>(win);
    return record(make("BASS_Init", fake_bass::list(device, freq, flags, w, fake_bass::ptr(dsguid)),
                       {device, freq, flags, static_cast<std::int64_t>(w)}),
                  Returns::Bool)
        .ok;
}

BOOL BASS_Free(void) { return record(make("BASS_Free", ""), Returns::Bool).ok; }

BOOL BASS_RecordGetDeviceInfo(DWORD device, BASS_DEVICEINFO* info) {
    Call c = make("BASS_RecordGetDeviceInfo", fake_bass::list(device), {device});
    auto& s = fake_bass::state();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (device >= s.devices.size() && !s.failures.count(c.name)) {
            c.ok = false;
            c.error = BASS_ERROR_DEVICE;
            s.calls.push_back(c);
            fake_bass::lastError = c.error;
            return FALSE;
        }
    }
    c = record(c, Returns::Bool);
    if (!c.ok) return FALSE;
    std::lock_guard<std::mutex> guard(s.lock);
    if (device >= s.devices.size()) {  // the list changed meanwhile
        fake_bass::lastError = BASS_ERROR_DEVICE;
        return FALSE;
    }
    if (info) {
        info->name = s.devices[device].name.c_str();
        info->driver = s.devices[device].driver.c_str();
        info->flags = s.devices[device].flags;
    }
    return TRUE;
}

BOOL BASS_RecordInit(int device) {
    return record(make("BASS_RecordInit", fake_bass::list(device), {device}), Returns::Bool).ok;
}

BOOL BASS_RecordCancel(void) { return record(make("BASS_RecordCancel", ""), Returns::Bool).ok; }

BOOL BASS_RecordFree(void) { return record(make("BASS_RecordFree", ""), Returns::Bool).ok; }

HRECORD BASS_RecordStart(DWORD freq, DWORD chans, DWORD flags, RECORDPROC* proc, void* user) {
    Call c = record(make("BASS_RecordStart",
                         fake_bass::list(freq, chans, flags, fake_bass::ptr(reinterpret_cast<void*>(proc)),
                                         fake_bass::ptr(user)),
                         {freq, chans, flags}),
                    Returns::Handle);
    return c.ok ? static_cast<HRECORD>(c.result) : 0;
}

BOOL BASS_RecordSetInput(int input, DWORD flags, float volume) {
    Call c = make("BASS_RecordSetInput", fake_bass::list(input, flags, volume), {input, flags});
    c.volume = volume;
    const bool ok = record(c, Returns::Bool).ok;
    if (ok) fake_bass::setInputLevel(flags == BASS_INPUT_OFF ? 0.0f : volume);
    return ok;
}

DWORD BASS_RecordGetInput(int input, float* volume) {
    Call c = make("BASS_RecordGetInput", fake_bass::list(input, fake_bass::ptr(volume)), {input});
    c.volume = fake_bass::inputLevel();
    c = record(c, Returns::Value, 0);
    if (!c.ok) return static_cast<DWORD>(-1);
    if (volume) *volume = c.volume;
    return static_cast<DWORD>(c.result);
}

HSTREAM BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC* proc, void* user) {
    std::string p = proc == STREAMPROC_PUSH ? "STREAMPROC_PUSH" : fake_bass::ptr(reinterpret_cast<void*>(proc));
    Call c = record(make("BASS_StreamCreate", fake_bass::list(freq, chans, flags, p, fake_bass::ptr(user)),
                         {freq, chans, flags, proc == STREAMPROC_PUSH ? -1 : 0}),
                    Returns::Handle);
    return c.ok ? static_cast<HSTREAM>(c.result) : 0;
}

DWORD BASS_StreamPutData(HSTREAM handle, const void* buffer, DWORD length) {
    Call c = make("BASS_StreamPutData", fake_bass::list(handle, fake_bass::ptr(buffer), length), {handle, length});
    if (buffer && length) {
        auto b = static_cast<const unsigned char*>(buffer);
        c.bytes.assign(b, b + length);
    }
    c = record(c, Returns::Value, length);
    return c.ok ? static_cast<DWORD>(c.result) : static_cast<DWORD>(-1);
}

BOOL BASS_StreamFree(HSTREAM handle) {
    return record(make("BASS_StreamFree", fake_bass::list(handle), {handle}), Returns::Bool).ok;
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
    return record(make("BASS_ChannelPlay", fake_bass::list(handle, restart), {handle, restart}), Returns::Bool).ok;
}

BOOL BASS_ChannelStop(DWORD handle) {
    return record(make("BASS_ChannelStop", fake_bass::list(handle), {handle}), Returns::Bool).ok;
}

BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
    Call c = make("BASS_ChannelSetAttribute", fake_bass::list(handle, attrib, value), {handle, attrib});
    c.volume = value;
    return record(c, Returns::Bool).ok;
}

double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos) {
    Call c = record(make("BASS_ChannelBytes2Seconds", fake_bass::list(handle, pos),
                         {handle, static_cast<std::int64_t>(pos)}),
                    Returns::Value);
    if (!c.ok) return -1;
    std::lock_guard<std::mutex> guard(fake_bass::state().lock);
    return fake_bass::state().seconds;
}

static float scriptedLevel(DWORD handle) {
    std::lock_guard<std::mutex> guard(fake_bass::state().lock);
    auto it = fake_bass::state().levels.find(handle);
    return it == fake_bass::state().levels.end() ? 0.0f : it->second;
}

DWORD BASS_ChannelGetLevel(DWORD handle) {
    Call c = record(make("BASS_ChannelGetLevel", fake_bass::list(handle), {handle}), Returns::Value);
    if (!c.ok) return static_cast<DWORD>(-1);
    const auto word = static_cast<DWORD>(std::min(scriptedLevel(handle), 1.0f) * 32768.0f);
    return word | word << 16;
}

BOOL BASS_ChannelGetLevelEx(DWORD handle, float* levels, float length, DWORD flags) {
    Call c = make("BASS_ChannelGetLevelEx", fake_bass::list(handle, length, flags), {handle, flags});
    c.volume = length;
    c = record(c, Returns::Bool);
    if (!c.ok || !levels) return FALSE;
    const float level = scriptedLevel(handle);
    levels[0] = level;
    if (!(flags & BASS_LEVEL_MONO)) levels[1] = level;
    return TRUE;
}

DWORD BASS_ChannelIsActive(DWORD handle) {
    Call c = record(make("BASS_ChannelIsActive", fake_bass::list(handle), {handle}), Returns::Value,
                    BASS_ACTIVE_PLAYING);
    return c.ok ? static_cast<DWORD>(c.result) : DWORD{BASS_ACTIVE_STOPPED};
}

DWORD BASS_FX_GetVersion(void) {
    Call c = record(make("BASS_FX_GetVersion", ""), Returns::Value, 0x02040000);
    return c.ok ? static_cast<DWORD>(c.result) : 0;
}

HFX BASS_ChannelSetFX(DWORD handle, DWORD type, int priority) {
    Call c = record(make("BASS_ChannelSetFX", fake_bass::list(handle, type, priority), {handle, type, priority}),
                    Returns::Handle);
    return c.ok ? static_cast<HFX>(c.result) : 0;
}

BOOL BASS_FXSetParameters(HFX handle, const void* params) {
    Call c = make("BASS_FXSetParameters", "", {handle});
    if (params) {
        auto v = static_cast<const BASS_BFX_VOLUME*>(params);
        c.channel = v->lChannel;
        c.volume = v->fVolume;
        c.args = fake_bass::list(handle, v->lChannel, v->fVolume);
    } else {
        c.args = fake_bass::list(handle, "null");
    }
    return record(c, Returns::Bool).ok;
}

HSTREAM BASS_Mixer_StreamCreate(DWORD freq, DWORD chans, DWORD flags) {
    Call c = record(make("BASS_Mixer_StreamCreate", fake_bass::list(freq, chans, flags), {freq, chans, flags}),
                    Returns::Handle);
    return c.ok ? static_cast<HSTREAM>(c.result) : 0;
}

BOOL BASS_Mixer_StreamAddChannel(HSTREAM handle, DWORD channel, DWORD flags) {
    return record(make("BASS_Mixer_StreamAddChannel", fake_bass::list(handle, channel, flags),
                       {handle, channel, flags}),
                  Returns::Bool)
        .ok;
}

QWORD BASS_Mixer_ChannelGetPosition(DWORD handle, DWORD mode) {
    Call c = record(make("BASS_Mixer_ChannelGetPosition", fake_bass::list(handle, mode), {handle, mode}),
                    Returns::Value, 0);
    return c.ok ? c.result : static_cast<QWORD>(-1);
}

HENCODE BASS_Encode_Start(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc, void* user) {
    Call c = record(make("BASS_Encode_Start",
                         fake_bass::list(handle, fake_bass::quoted(cmdline), flags,
                                         fake_bass::ptr(reinterpret_cast<void*>(proc)), fake_bass::ptr(user)),
                         {handle, flags}, {fake_bass::text(cmdline)}),
                    Returns::Handle);
    return c.ok ? static_cast<HENCODE>(c.result) : 0;
}

BOOL BASS_Encode_CastInit(HENCODE handle, const char* server, const char* pass, const char* content,
                          const char* name, const char* url, const char* genre, const char* desc,
                          const char* headers, DWORD bitrate, BOOL pub) {
    using fake_bass::quoted;
    using fake_bass::text;
    return record(make("BASS_Encode_CastInit",
                       fake_bass::list(handle, quoted(server), quoted(pass), quoted(content), quoted(name),
                                       quoted(url), quoted(genre), quoted(desc), quoted(headers), bitrate, pub),
                       {handle, bitrate, pub},
                       {text(server), text(pass), text(content), text(name), text(url), text(genre), text(desc),
                        text(headers)}),
                  Returns::Bool)
        .ok;
}

BOOL BASS_Encode_CastCancel(HENCODE handle) {
    return record(make("BASS_Encode_CastCancel", fake_bass::list(handle), {handle}), Returns::Bool).ok;
}

BOOL BASS_Encode_CastSetTitle(HENCODE handle, const char* title, const char* url) {
    return record(make("BASS_Encode_CastSetTitle",
                       fake_bass::list(handle, fake_bass::quoted(title), fake_bass::quoted(url)), {handle},
                       {fake_bass::text(title), fake_bass::text(url)}),
                  Returns::Bool)
        .ok;
}

BOOL BASS_Encode_SetNotify(HENCODE handle, ENCODENOTIFYPROC* proc, void* user) {
    Call c = record(make("BASS_Encode_SetNotify",
                         fake_bass::list(handle, fake_bass::ptr(reinterpret_cast<void*>(proc)), fake_bass::ptr(user)),
                         {handle}),
                    Returns::Bool);
    if (c.ok) {
        std::lock_guard<std::mutex> guard(fake_bass::state().lock);
        fake_bass::state().notifyProcs[handle] = {proc, user};
        fake_bass::state().lastNotifyHandle = handle;
    }
    return c.ok;
}

HENCODE BASS_Encode_StartFile(DWORD handle, const char* cmdline, DWORD flags, const char* file) {
    Call c = record(make("BASS_Encode_StartFile",
                         fake_bass::list(handle, fake_bass::quoted(cmdline), flags, fake_bass::quoted(file)),
                         {handle, flags}, {fake_bass::text(cmdline), fake_bass::text(file)}),
                    Returns::Handle);
    return c.ok ? static_cast<HENCODE>(c.result) : 0;
}

BOOL BASS_Encode_Stop(HENCODE handle) {
    return record(make("BASS_Encode_Stop", fake_bass::list(handle), {handle}), Returns::Bool).ok;
}

HENCODE BASS_Encode_SplitFile(HENCODE handle, const char* file) {
    Call c = record(make("BASS_Encode_SplitFile", fake_bass::list(handle, fake_bass::quoted(file)), {handle},
                         {fake_bass::text(file)}),
                    Returns::Handle);
    return c.ok ? static_cast<HENCODE>(c.result) : 0;
}

}  // extern "C"
