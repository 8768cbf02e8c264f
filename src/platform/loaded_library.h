#pragma once
// A library loaded when it is first needed (dlopen) rather than at every start.
#include <mutex>
#include <string>

namespace korv {

class LoadedLibrary {
  public:
    // Opens soname; throws std::runtime_error naming it when it cannot.
    explicit LoadedLibrary(const std::string& soname);
    // The function of that name; the first missing one is remembered for ensureComplete().
    template <typename F>
    void resolve(const char* name, F& function) {
        function = reinterpret_cast<F>(find(name));
        if (!function && missing_.empty()) missing_ = name;
    }
    // Throws std::runtime_error naming the library and the first function it lacks.
    void ensureComplete();
    // Keeps the library loaded for the rest of the process.
    void keep() { handle_ = nullptr; }
    ~LoadedLibrary();
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  private:
    void* find(const char* name);
    std::string soname_;
    std::string missing_;
    void* handle_;
};

// What load() returns, made once for the process; a load that throws is tried again at the next
// call.
template <typename T>
const T& loadOnce(T (*load)()) {
    static std::mutex mutex;
    static T value{};
    static bool loaded = false;
    std::lock_guard lock(mutex);
    if (!loaded) {
        value = load();
        loaded = true;
    }
    return value;
}

}  // namespace korv
