#pragma once
// INI files read and written by the rules of the Windows profile functions: the first section and
// the first key of a name count, names match without regard to case, a value is trimmed and loses
// one pair of enclosing quotes, at most 2047 bytes are read. Writing changes only the lines of
// the values written; every other byte of the file stays as it was.
#include <string>
#include <vector>

namespace korv {

inline constexpr std::size_t kProfileValueLimit = 2047;

class ProfileFile {
  public:
    // A missing file reads as a file without keys; an unreadable one raises FileError.
    explicit ProfileFile(std::string cp932Path);

    // False when the key is absent.
    bool get(const std::string& section, const std::string& key, std::string& value) const;
    std::string get(const std::string& section, const std::string& key,
                    const std::string& fallback) const;
    // A line break in the value is written as a blank: a value is one line.
    void set(const std::string& section, const std::string& key, const std::string& value);
    // Writes the file whole ("<file> に書き込めません" on failure); a file created here is
    // readable by its owner only.
    void save() const;

  private:
    struct Line {
        std::string text;
        std::string end;  // "\r\n", "\n", "\r", or "" for a last line without one
    };
    struct Section {
        std::size_t header;  // index of the header line
        std::size_t end;     // one past the section's last line
    };

    bool findSection(const std::string& name, Section& found) const;
    bool findKey(const Section& section, const std::string& key, std::size_t& line) const;
    std::string newLineEnd() const;

    std::string path_;
    std::vector<Line> lines_;
};

}  // namespace korv
