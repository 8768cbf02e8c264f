#include "platform/loaded_library.h"

#include <dlfcn.h>

#include <stdexcept>

#include "platform/codepage.h"

namespace korv {

LoadedLibrary::LoadedLibrary(const std::string& soname)
    : soname_(soname), handle_(dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (!handle_) throw std::runtime_error("ライブラリ "_cp + soname + " を読み込めません"_cp);
}

LoadedLibrary::~LoadedLibrary() {
    if (handle_) dlclose(handle_);
}

void* LoadedLibrary::find(const char* name) { return handle_ ? dlsym(handle_, name) : nullptr; }

void LoadedLibrary::ensureComplete() {
    if (!missing_.empty())
        throw std::runtime_error("ライブラリ "_cp + soname_ + " に " + missing_ +
                                 " がありません"_cp);
}

}  // namespace korv
