#pragma once
// Libraries only some runs need (the image-container formats, the hashes
// and the content types of recovery) are opened the first time they are
// needed, not when the program starts: a listing of a plain image or disk
// then never maps them, relocates them or keeps their pages resident, which
// was about 3 MiB of every run's memory and a few milliseconds of its start.
//
// A user declares each function it calls as a pointer named like the
// function, in its own namespace, so that the calls read as before and
// find the pointer first:
//
//   #define EWF_FUNCTIONS(X) X(libewf_handle_open) X(libewf_handle_close)
//   EWF_FUNCTIONS(QVX_DECLARE_LOADED)
//   ...
//   static util::LoadedLibrary ewf("libewf.so.2", {EWF_FUNCTIONS(QVX_BIND_LOADED)});
//   if (!ewf.load(error)) return nullptr;

#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace qvx::util {

class LoadedLibrary {
public:
    /// Where a resolved function is written, and its name in the library.
    struct Binding {
        void (*set)(void* symbol);  // stores the symbol (or null) in the pointer
        const char* name;
    };
    LoadedLibrary(const char* soname, std::initializer_list<Binding> bindings);
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    /// Opens the library and resolves every function, once, whichever
    /// thread asks first. False, with why in error, when the library or one
    /// of its functions is missing; the bound pointers are then all null.
    /// The library stays open for the rest of the run.
    bool load(std::string& error);

private:
    const char* m_soname;
    std::vector<Binding> m_bindings;
    std::once_flag m_once;
    bool m_loaded = false;
    std::string m_error;
};

}  // namespace qvx::util

/// A pointer to the library function fn, named fn (null until loaded).
#define QVX_DECLARE_LOADED(fn) decltype(&::fn) fn = nullptr;
/// The binding of that pointer to the library's symbol of the same name.
#define QVX_BIND_LOADED(fn) \
    ::qvx::util::LoadedLibrary::Binding{[](void* symbol) { fn = reinterpret_cast<decltype(fn)>(symbol); }, #fn},
