#pragma once
// INI files read and written by the rules of the Windows profile functions: keys match without
// regard to case, a value is trimmed and loses one pair of enclosing quotes, at most 2047 bytes
// are read; writing keeps other sections, keys and comments and adds new keys at the end of
// their section.
#include <memory>
#include <string>

namespace korv {

inline constexpr std::size_t kProfileValueLimit = 2047;

class ProfileFile {
  public:
    // A missing file reads as a file without keys; an unreadable one raises FileError.
    explicit ProfileFile(std::string cp932Path);
    ~ProfileFile();

    // False when the key is absent.
    bool get(const std::string& section, const std::string& key, std::string& value) const;
    std::string get(const std::string& section, const std::string& key,
                    const std::string& fallback) const;
    void set(const std::string& section, const std::string& key, const std::string& value);
    // Writes the file whole ("<file> に書き込めません" on failure); a file created here is
    // readable by its owner only.
    void save() const;

  private:
    struct Impl;
    std::string path_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korv
