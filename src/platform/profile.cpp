#include "platform/profile.h"

// Plain byte strings only: the ICU converter keeps SimpleIni from needing ConvertUTF.
#define SI_CONVERT_ICU
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/whole_file.h"

namespace korv {

struct ProfileFile::Impl {
    CSimpleIniA ini{false, false, false};  // keys match without regard to case
};

namespace {

std::string unquote(std::string v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return v;
}

std::string trim(const std::string& v) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t b = 0, e = v.size();
    while (b < e && isBlank(v[b])) ++b;
    while (e > b && isBlank(v[e - 1])) --e;
    return v.substr(b, e - b);
}

}  // namespace

ProfileFile::ProfileFile(std::string path)
    : path_(std::move(path)), impl_(std::make_unique<Impl>()) {
    impl_->ini.SetSpaces(false);
    if (!fileExists(path_)) return;
    std::string text = ReadFileToString(path_);
    impl_->ini.LoadData(text.data(), text.size());
}

ProfileFile::~ProfileFile() = default;

bool ProfileFile::get(const std::string& section, const std::string& key,
                      std::string& value) const {
    const char* v = impl_->ini.GetValue(section.c_str(), key.c_str(), nullptr);
    if (!v) return false;
    value = unquote(trim(v));
    if (value.size() > kProfileValueLimit) value.resize(kProfileValueLimit);
    return true;
}

std::string ProfileFile::get(const std::string& section, const std::string& key,
                             const std::string& fallback) const {
    std::string v;
    return get(section, key, v) ? v : fallback;
}

void ProfileFile::set(const std::string& section, const std::string& key,
                      const std::string& value) {
    impl_->ini.SetValue(section.c_str(), key.c_str(), value.c_str());
}

void ProfileFile::save() const {
    std::string text;
    if (impl_->ini.Save(text) < 0) throw FileError(path_ + " に書き込めません"_cp);
    try {
        WritePrivateStringToFile(text, path_);
    } catch (const FileError& e) {
        throw FileError(path_ + " に書き込めません"_cp + " (" + e.what() + ")");
    }
}

}  // namespace korv
