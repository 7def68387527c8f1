#include "util/shared_library.h"

#include <dlfcn.h>

namespace qvx::util {

LoadedLibrary::LoadedLibrary(const char* soname, std::initializer_list<Binding> bindings)
    : m_soname(soname), m_bindings(bindings) {}

bool LoadedLibrary::load(std::string& error) {
    std::call_once(m_once, [this] {
        // RTLD_NOW: a missing function shows here, as a message, and not as
        // a failure in the middle of a read.
        void* handle = ::dlopen(m_soname, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = ::dlerror();
            m_error = std::string("cannot load ") + m_soname + (why != nullptr ? std::string(": ") + why : "");
            return;
        }
        for (const Binding& b : m_bindings) {
            void* symbol = ::dlsym(handle, b.name);
            if (symbol == nullptr) {
                m_error = std::string("cannot load ") + m_soname + ": it has no " + b.name;
                for (const Binding& c : m_bindings) c.set(nullptr);
                ::dlclose(handle);
                return;
            }
            b.set(symbol);
        }
        m_loaded = true;
    });
    if (!m_loaded) error = m_error;
    return m_loaded;
}

}  // namespace qvx::util
