// Handles: a fixed table of slots with generation counters. Looking a handle up for the
// sample tap (acquire/release) takes no lock and never allocates; everything else goes
// through the table's lock and gets a shared owner. Removing a handle marks its object
// released (another thread may still hold it) and removes the handles that die with it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "bass.h"

namespace bassx {

enum class Kind { Push, Record, Mixer, Fx, Encoder };
constexpr size_t kKinds = 5;

struct Object {
    explicit Object(Kind k);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    const Kind kind;
    std::atomic<DWORD> handle{0};
    // Set once its handle is removed: whoever still holds the object must not tie anything
    // new to it (a mixer being ended, a stream being freed).
    std::atomic<bool> released{false};

    // A handle that dies with this one (a stream's effect). False when this one is released
    // already: the caller then removes it itself.
    bool addDependent(DWORD h);
    std::vector<DWORD> takeDependents();

    // Engine objects alive anywhere, freed or not (for tests: what a freed handle left behind).
    static size_t alive();

private:
    std::mutex dependentsMutex_;
    std::vector<DWORD> dependents_;
};

class Registry {
public:
    static constexpr unsigned kIndexBits = 12;
    static constexpr unsigned kSlots = 1u << kIndexBits;  // slot 0 unused: handle 0 means none

    static Registry& instance();

    // 0 when the table is full.
    DWORD add(std::shared_ptr<Object> obj);
    std::shared_ptr<Object> get(DWORD h) const;
    template <typename T>
    std::shared_ptr<T> get(DWORD h, Kind k) const {
        auto o = get(h);
        return o && o->kind == k ? std::static_pointer_cast<T>(o) : nullptr;
    }
    // Makes the handle dead (and those that die with it), waits for lock-free users to leave,
    // marks the object released and returns the owner.
    std::shared_ptr<Object> remove(DWORD h);
    std::vector<std::shared_ptr<Object>> all() const;
    std::vector<std::shared_ptr<Object>> all(Kind k) const;
    // Handles alive now.
    size_t count() const { return count_.load(); }
    size_t count(Kind k) const { return kindCount_[static_cast<size_t>(k)].load(); }

    // Lock-free lookup for the hot path; pair every non-null acquire with release.
    Object* acquire(DWORD h);
    void release(DWORD h);

private:
    struct Slot {
        std::atomic<DWORD> handle{0};
        std::atomic<int> users{0};
        std::atomic<Object*> raw{nullptr};
        std::shared_ptr<Object> owner;
        uint32_t generation = 0;
    };
    mutable std::mutex mutex_;
    std::array<Slot, kSlots> slots_;
    unsigned next_ = 1;
    std::atomic<size_t> count_{0};
    std::array<std::atomic<size_t>, kKinds> kindCount_{};
};

}  // namespace bassx
