#include "handles.h"

#include <thread>
#include <utility>

namespace bassx {

namespace {
std::atomic<size_t> objectsAlive{0};
}

Object::Object(Kind k) : kind(k) { objectsAlive.fetch_add(1); }
Object::~Object() { objectsAlive.fetch_sub(1); }
size_t Object::alive() { return objectsAlive.load(); }

bool Object::addDependent(DWORD h) {
    std::lock_guard<std::mutex> lock(dependentsMutex_);
    if (released.load()) return false;
    dependents_.push_back(h);
    return true;
}

std::vector<DWORD> Object::takeDependents() {
    std::lock_guard<std::mutex> lock(dependentsMutex_);
    return std::exchange(dependents_, {});
}

Registry& Registry::instance() {
    // Never destroyed: engine threads may still look handles up while the process exits.
    static Registry* r = new Registry;
    return *r;
}

DWORD Registry::add(std::shared_ptr<Object> obj) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (unsigned n = 0; n < kSlots - 1; ++n) {
        unsigned idx = next_;
        next_ = next_ + 1 >= kSlots ? 1 : next_ + 1;
        Slot& s = slots_[idx];
        if (s.owner || s.users.load() != 0) continue;
        s.generation = (s.generation + 1) & ((1u << (32 - kIndexBits)) - 1);
        if (s.generation == 0) s.generation = 1;
        DWORD h = (s.generation << kIndexBits) | idx;
        obj->handle.store(h);
        s.raw.store(obj.get());
        s.owner = std::move(obj);
        s.handle.store(h);
        count_.fetch_add(1);
        kindCount_[static_cast<size_t>(s.owner->kind)].fetch_add(1);
        return h;
    }
    return 0;
}

std::shared_ptr<Object> Registry::get(DWORD h) const {
    unsigned idx = h & (kSlots - 1);
    if (h == 0 || idx == 0) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    const Slot& s = slots_[idx];
    return s.handle.load() == h ? s.owner : nullptr;
}

std::shared_ptr<Object> Registry::remove(DWORD h) {
    unsigned idx = h & (kSlots - 1);
    if (h == 0 || idx == 0) return nullptr;
    std::shared_ptr<Object> owner;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot& s = slots_[idx];
        if (s.handle.load() != h) return nullptr;
        s.handle.store(0);
        // A user that saw the old handle is inside a put of a few microseconds.
        while (s.users.load() != 0) std::this_thread::yield();
        s.raw.store(nullptr);
        owner = std::move(s.owner);
        s.owner.reset();
        count_.fetch_sub(1);
        kindCount_[static_cast<size_t>(owner->kind)].fetch_sub(1);
        owner->released.store(true);
    }
    // Set after `released`: a dependent added from now on is refused and removed by its maker.
    for (DWORD d : owner->takeDependents()) remove(d);
    return owner;
}

std::vector<std::shared_ptr<Object>> Registry::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<Object>> out;
    for (const Slot& s : slots_)
        if (s.owner) out.push_back(s.owner);
    return out;
}

std::vector<std::shared_ptr<Object>> Registry::all(Kind k) const {
    std::vector<std::shared_ptr<Object>> out;
    if (count(k) == 0) return out;  // the common case on a free: no walk over the table
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Slot& s : slots_)
        if (s.owner && s.owner->kind == k) out.push_back(s.owner);
    return out;
}

Object* Registry::acquire(DWORD h) {
    unsigned idx = h & (kSlots - 1);
    if (h == 0 || idx == 0) return nullptr;
    Slot& s = slots_[idx];
    s.users.fetch_add(1);
    if (s.handle.load() == h) {
        Object* o = s.raw.load();
        if (o) return o;
    }
    s.users.fetch_sub(1);
    return nullptr;
}

void Registry::release(DWORD h) { slots_[h & (kSlots - 1)].users.fetch_sub(1); }

}  // namespace bassx
