#include "module_loader.h"

#include <dlfcn.h>

namespace host {

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LARKSPUR_HOST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define LARKSPUR_HOST_ASAN 1
#endif
#ifdef LARKSPUR_HOST_ASAN
// A leak checker cannot attribute what an unmapped module's never-freed singletons hold: in a
// checked build the module stays mapped after dlclose; the normal build unloads it for real.
constexpr int keepMapped = RTLD_NODELETE;
#else
constexpr int keepMapped = 0;
#endif

bool loadModule(const std::string& path, LoadedModule& out, std::string& error) {
    out = {};
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | keepMapped);
    if (!h) {
        const char* e = dlerror();
        error = std::string("cannot load the module: ") + (e ? e : path.c_str());
        return false;
    }
    auto fail = [&](const std::string& why) {
        dlclose(h);
        error = path + ": " + why;
        return false;
    };
    auto getHeader = reinterpret_cast<GetHeaderProc>(dlsym(h, "winampDSPGetHeader2"));
    if (const char* why = bindModule(getHeader, out)) return fail(why);
    out.handle = h;
    return true;
}

void unloadModule(LoadedModule& m) {
    if (m.handle) dlclose(m.handle);
    m = {};
}

}  // namespace host
