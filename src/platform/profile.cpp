#include "platform/profile.h"

#include <string_view>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/whole_file.h"

namespace korv {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view v) {
    while (!v.empty() && isBlank(v.front())) v.remove_prefix(1);
    while (!v.empty() && isBlank(v.back())) v.remove_suffix(1);
    return v;
}

// ']' is also a possible second byte of a double-byte character.
std::size_t findClosingBracket(std::string_view v) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] == ']') return i;
        if (isLeadByte(static_cast<unsigned char>(v[i]))) ++i;
    }
    return v.size();
}

bool sectionName(std::string_view line, std::string_view& name) {
    line = trimBlanks(line);
    if (line.empty() || line.front() != '[') return false;
    line.remove_prefix(1);
    name = trimBlanks(line.substr(0, findClosingBracket(line)));
    return true;
}

// A line without '=' or starting with ';' holds no key.
bool keyName(std::string_view line, std::string_view& key) {
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = trimBlanks(line.substr(0, eq));
    return key.empty() || key.front() != ';';
}

std::string_view rawValue(std::string_view line) { return line.substr(line.find('=') + 1); }

// The value as written in the file, without the read limit.
std::string_view unquoted(std::string_view raw) {
    std::string_view v = trimBlanks(raw);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return v;
}

// Cut at the limit, but never between the two bytes of a character.
std::string limited(std::string_view v) {
    if (v.size() <= kProfileValueLimit) return std::string(v);
    std::size_t n = 0;
    while (true) {
        std::size_t width = isLeadByte(static_cast<unsigned char>(v[n])) ? 2 : 1;
        if (n + width > kProfileValueLimit) break;
        n += width;
    }
    return std::string(v.substr(0, n));
}

std::string readValue(std::string_view line) { return limited(unquoted(rawValue(line))); }

}  // namespace

ProfileFile::ProfileFile(std::string path) : path_(std::move(path)) {
    if (!fileExists(path_)) return;
    const std::string text = ReadFileToString(path_);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t brk = text.find_first_of("\r\n", start);
        if (brk == std::string::npos) {
            lines_.push_back({text.substr(start), ""});
            break;
        }
        std::size_t endSize = lineBreakAt(text, brk);
        lines_.push_back({text.substr(start, brk - start), text.substr(brk, endSize)});
        start = brk + endSize;
    }
}

bool ProfileFile::findSection(const std::string& name, Section& found) const {
    std::size_t i = 0;
    std::string_view header;
    while (i < lines_.size() &&
           !(sectionName(lines_[i].text, header) && equalsIgnoringCase(header, name)))
        ++i;
    if (i == lines_.size()) return false;
    found.header = i;
    for (found.end = i + 1; found.end < lines_.size(); ++found.end)
        if (sectionName(lines_[found.end].text, header)) break;
    return true;
}

bool ProfileFile::findKey(const Section& section, const std::string& key, std::size_t& line) const {
    std::string_view k;
    for (line = section.header + 1; line < section.end; ++line)
        if (keyName(lines_[line].text, k) && equalsIgnoringCase(k, key)) return true;
    return false;
}

// New lines follow the file's own line ends.
std::string ProfileFile::newLineEnd() const {
    for (const Line& line : lines_)
        if (line.end.find('\n') != std::string::npos) return line.end;
    return "\r\n";
}

bool ProfileFile::get(const std::string& section, const std::string& key,
                      std::string& value) const {
    Section sec;
    std::size_t at;
    if (!findSection(section, sec) || !findKey(sec, key, at)) return false;
    value = readValue(lines_[at].text);
    return true;
}

std::string ProfileFile::get(const std::string& section, const std::string& key,
                             const std::string& fallback) const {
    std::string v;
    return get(section, key, v) ? v : fallback;
}

void ProfileFile::set(const std::string& section, const std::string& key,
                      const std::string& value) {
    std::string v = value;
    for (char& c : v)
        if (c == '\r' || c == '\n') c = ' ';
    // Quotes keep blanks and quotes of the value's own from being taken off when it is read.
    const std::string written = unquoted(v) == v ? v : '"' + v + '"';
    const std::string end = newLineEnd();

    Section sec;
    if (!findSection(section, sec)) {
        if (!lines_.empty() && lines_.back().end.empty()) lines_.back().end = end;
        lines_.push_back({'[' + section + ']', end});
        lines_.push_back({key + '=' + written, end});
        return;
    }
    std::size_t at;
    if (findKey(sec, key, at)) {
        std::string& text = lines_[at].text;
        if (readValue(text) == v) return;
        // The key as the user wrote it stays, and so do blanks between '=' and a value.
        std::size_t keep = text.find('=') + 1;
        std::size_t firstValueByte = keep;
        while (firstValueByte < text.size() && isBlank(text[firstValueByte])) ++firstValueByte;
        if (firstValueByte < text.size()) keep = firstValueByte;
        text = text.substr(0, keep) + written;
        return;
    }
    // After the last key, so that blank lines before the next section stay before it.
    std::size_t last = sec.header;
    std::string_view k;
    for (std::size_t i = sec.header + 1; i < sec.end; ++i)
        if (keyName(lines_[i].text, k)) last = i;
    if (lines_[last].end.empty()) lines_[last].end = end;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last) + 1,
                  Line{key + '=' + written, end});
}

void ProfileFile::save() const {
    std::string text;
    for (const Line& line : lines_) text += line.text + line.end;
    try {
        WritePrivateStringToFile(text, path_);
    } catch (const FileError& e) {
        throw FileError(path_ + " に書き込めません"_cp + " (" + e.what() + ")");
    }
}

}  // namespace korv
