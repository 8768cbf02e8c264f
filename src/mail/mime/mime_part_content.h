#pragma once
// The content of a message part with its transfer encoding (base64, quoted-printable, uuencode)
// undone.
#include <gmime/gmime.h>

#include <string>
#include <string_view>

#include "mail/mime/attachment_names.h"

namespace korv::mail {

// The decoded bytes of a leaf part (for texts, which are small).
std::string partBytes(GMimePart* part);

// Attachments go piece by piece straight into their files: a big one never sits in memory a
// second time beside the received message. Failures throw FileError (see NewAttachmentFile).
void writeDecodedPart(GMimePart* part, NewAttachmentFile& file);
// An attached message as it arrived: with CR LF line ends; one without a header is its text
// alone.
void writeMessage(GMimeMessage* message, NewAttachmentFile& file);
// A uuencoded block, "begin" line to "end" line.
void writeUuBlock(std::string_view block, NewAttachmentFile& file);
// The same decoded into memory.
std::string uuBlockBytes(std::string_view block);

}  // namespace korv::mail
