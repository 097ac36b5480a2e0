// Loads the shipped library from the test program's own folder and resolves exports by name,
// as a caller of the library does.
#pragma once

#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <stdlib.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace fbtest {

class LibraryLoader {
 public:
  LibraryLoader() = default;
  ~LibraryLoader() { Unload(); }

  static std::string ProgramFolder() {
#if defined(_WIN32)
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n);
    return p.substr(0, p.find_last_of("\\/"));
#else
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    std::string p(path, n > 0 ? static_cast<size_t>(n) : 0);
    return p.substr(0, p.find_last_of('/'));
#endif
  }

  static std::string LibraryPath() {
#if defined(_WIN32)
    return ProgramFolder() + "\\flashbridge.dll";
#else
    return ProgramFolder() + "/flashbridge.so";
#endif
  }

  bool Load() {
#if defined(_WIN32)
    mHandle = LoadLibraryA(LibraryPath().c_str());
#else
    mHandle = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    return mHandle != nullptr;
  }

  void Unload() {
    if (mHandle != nullptr) {
#if defined(_WIN32)
      FreeLibrary(static_cast<HMODULE>(mHandle));
#else
      // FBTEST_KEEP_LIBRARY keeps it mapped, so leak reports can name the library's functions.
      if (getenv("FBTEST_KEEP_LIBRARY") == nullptr) {
        dlclose(mHandle);
      }
#endif
      mHandle = nullptr;
    }
  }

  template <class F>
  F Resolve(const char* name) const {
#if defined(_WIN32)
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(mHandle), name)));
#else
    return reinterpret_cast<F>(dlsym(mHandle, name));
#endif
  }

 private:
  void* mHandle = nullptr;
};

}  // namespace fbtest
