#pragma once
// CSession: an account's session file and the names handed out from its counter file.
#include <string>

#include "platform/clock.h"

namespace korv {

// The values of an account's session file; each field is named after its key.
struct SessionRecord {
    std::string path;       // existing folder, with a trailing delimiter
    std::string membersdb;  // existing folder, with a trailing delimiter
    std::string nameorder;
    std::string FileNameTemplate;
    std::string FileNameCounter;
    std::string DefaultImgFile;
    std::string accepthtml;  // existing file
    // Who may post to the gallery: comma text of addresses and "@domain" entries; empty lets
    // everyone post.
    std::string allowfrom;
    // The largest picture handed off, in bytes; empty sets no limit.
    std::string maxbytes;
    // "1": the gallery gets the picture's original bytes (its location and orientation tag too).
    std::string keepmetadata;
};

// The record of sessionDB + account + ".txt"; every field empty when that file does not exist.
// An account name that could leave the folder (a delimiter, a colon, a control character, "."
// or "..", a name the file system cannot hold) has no session file. A file that exists but
// cannot be read throws FileError.
SessionRecord LoadSessionFile(const std::string& sessionDB, const std::string& account);

// The next free name from the counter file through the template: neither folder + name +
// firstExt nor folder + name + secondExt existed when it was chosen, and the counter file then
// holds its number. Returns "" when the counter file cannot be opened (after up to 100 waits
// while other processes write it) and when no free name is left. Throws FileError when the
// counter file cannot be created or rewritten (another process reading it at that moment
// included), ConversionError when it does not hold a number.
std::string NextNumberedName(Clock& clock, const std::string& counterFile,
                             const std::string& numberTemplate, const std::string& folder,
                             const std::string& firstExt, const std::string& secondExt);

}  // namespace korv
