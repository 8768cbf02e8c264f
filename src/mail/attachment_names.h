#pragma once
// Names from mail never choose a path: attachments get a safe base name and never replace a
// file already in their folder.
#include <string>
#include <string_view>
#include <vector>

namespace korv::mail {

// A base name safe to create in a folder: no folder parts, no drive colon, no "." or "..", no
// control characters or characters that file systems refuse; fallback when nothing is left.
std::string safeAttachmentName(std::string_view cp932Name, std::string_view fallback);

// Writes bytes as a new file in folder (CP932, with or without trailing delimiter) under name or
// the first free variant "stem(n).ext"; header.txt, body.txt and the names in taken are never
// used. Returns the name written. Throws FileError naming the file when it cannot be written.
std::string writeNewAttachment(const std::string& folder, const std::string& name,
                               std::string_view bytes, const std::vector<std::string>& taken);

}  // namespace korv::mail
