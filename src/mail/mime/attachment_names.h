#pragma once
// Names from mail never choose a path: attachments get a safe base name and never replace a
// file already in their folder.
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace korv::mail {

// A base name safe to create in a folder, decided on its native form (after nativePath): no
// folder parts, no drive colon, no leading or trailing dots or blanks (so never "." or ".."), no
// control characters or characters that file systems refuse, no U+FFFD from a broken lead byte
// (each becomes '_'), at most 255 bytes and 120 characters (the stem is cut by whole characters,
// the extension kept), and no Windows device name ("nul.jpg" becomes "nul_.jpg"). Fallback, which
// must itself be safe, when nothing is left.
std::string safeAttachmentName(std::string_view cp932Name, std::string_view fallback);

// The names already given in one folder, compared without regard to letter case (Windows folds it),
// and for each name where the search for its next free variant goes on: a message of thousands of
// parts of one name costs no more than one of as many different names.
class TakenNames {
  public:
    bool contains(const std::string& name) const;
    void add(const std::string& name);
    // The first n of "stem(n).ext" still worth trying for name (0: the name itself).
    int& resumeAt(const std::string& name) { return resume_[asciiLowerOf(name)]; }

  private:
    static std::string asciiLowerOf(const std::string& name);
    std::unordered_set<std::string> folded_;
    std::unordered_map<std::string, int> resume_;
};

// A new file in folder (CP932, with or without trailing delimiter) under name (a safe one) or the
// first free variant "stem(n).ext", kept within the limits of a name; header.txt, body.txt and the
// names in taken are never used, and finish() adds the name written to taken. It is filled
// piece by piece; a failed write, or an end before finish(), removes it. Failures throw
// FileError naming the file and the system's reason.
class NewAttachmentFile {
  public:
    NewAttachmentFile(const std::string& folder, const std::string& name, TakenNames& taken);
    ~NewAttachmentFile();
    NewAttachmentFile(const NewAttachmentFile&) = delete;
    NewAttachmentFile& operator=(const NewAttachmentFile&) = delete;

    // All of it or an error: a short write is retried until the system names its reason.
    void write(const char* bytes, std::size_t n);
    // For writers that write to the descriptor themselves.
    int fd() const { return fd_; }
    // Closes the file; returns its name.
    std::string finish();
    // Removes the file and throws for err.
    [[noreturn]] void failed(int err);

  private:
    void remove();
    TakenNames& taken_;
    std::string name_;
    std::string path_;
    int fd_ = -1;
};

// Writes bytes as a NewAttachmentFile; returns the name written.
std::string writeNewAttachment(const std::string& folder, const std::string& name,
                               std::string_view bytes, TakenNames& taken);

}  // namespace korv::mail
