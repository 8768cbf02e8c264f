#pragma once
// Decoding of received mail into the texts the program keeps (CP932).
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_error.h"

namespace korv::mail {

struct MessageTexts {
    std::string subject;  // decoded, CP932
    std::string date;     // as in the Date field, CP932
    std::string from;     // decoded, CP932
    std::string header;   // the raw header lines, each ending in CR LF, without the empty line
};

// From the raw header block of a message (as TOP n 0 or RETR deliver it, dot-unstuffed).
MessageTexts decodeHeaderTexts(std::string_view rawMessageOrHeader);
// Only its header text (MessageTexts::header), without decoding the fields.
std::string headerBlockText(std::string_view rawMessageOrHeader);

// An attachment decoded but not written yet: its safe name (writing may take a variant of it)
// and its bytes.
struct HeldAttachment {
    std::string name;
    std::string bytes;
};

struct DecodedMessage {
    MessageTexts texts;
    std::string body;                          // CP932 with CR LF line ends
    std::vector<std::string> attachmentNames;  // names actually written, in order
    // Why an attachment could not be written, naming the file; the texts above stay usable.
    std::optional<MailError> attachmentError;
    // Decoded into memory to be written later (writeHeldAttachments), in message order.
    std::vector<HeldAttachment> held = {};
};

// Decodes a whole raw message (CR LF, dot-unstuffed). The body is its inline text/plain parts in
// order, joined with CR LF (one of each multipart/alternative), else the first inline text part;
// a message/partial keeps its raw body. Every other leaf part with a file name, an attachment
// disposition or a non-text type is decoded piece by piece into attachmentFolder under a safe
// name ("attachment.<extension of its type>" when it has none) that never replaces a file already
// there. An attachment that cannot be written is removed again and no further one is written.
// An empty folder writes no attachments. A message of at most holdUpTo bytes whose attachments are
// all parts or uuencoded blocks (no attached messages) keeps them in held instead, for another
// thread to write while the next message is decoded.
DecodedMessage decodeMessage(std::string_view rawMessage, const std::string& attachmentFolder,
                             std::size_t holdUpTo = 0);
// Writes the held attachments into folder as decodeMessage would have (names, variants, and on
// a failure attachmentError with nothing more written); held[i] was written as
// attachmentNames[i].
void writeHeldAttachments(DecodedMessage& message, const std::string& folder);

// The names as comma text that the gallery's comma-text reader parses back exactly.
std::string formatNamesList(const std::vector<std::string>& names);

// GMime is set up at the first call and shut down when the process ends; every MIME function
// calls this first.
void ensureMimeInitialised();

// True when the message has an attachment: a part with a file name, an attachment disposition
// or a non-text type, or a uuencoded block inside its plain texts.
bool hasAttachment(std::string_view rawMessage);

}  // namespace korv::mail
