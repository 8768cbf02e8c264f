#pragma once
// Hands a message's picture to the gallery folder of the account its subject names, beside a
// link request that carries the id and the story of its body.
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "activity/status_log.h"
#include "platform/clock.h"

namespace korv {

struct HandOffSettings {
    std::string DefaultImg;  // already resolved (ResolveDefaultImg); "" when there is none
    std::string SessionDB;   // first piece of every session file's name
};

// The DefaultImg setting as a file: inside the program's folder; "" when the setting is empty or
// names no file there.
std::string ResolveDefaultImg(const std::string& programFolder, const std::string& setting);

// A hand-off that could not be completed; nothing of it is left in the gallery. statusPiece is
// what the status line gets for it (" ->採番失敗", " ->コピー失敗 " and the intended name).
class HandOffError : public std::runtime_error {
  public:
    HandOffError(std::string statusPiece, const std::string& reason)
        : std::runtime_error(reason), statusPiece_(std::move(statusPiece)) {}
    const std::string& statusPiece() const { return statusPiece_; }

  private:
    std::string statusPiece_;
};

// What one message gives a gallery: a copy of its picture and a link request under one name.
struct GalleryDelivery {
    std::string picture;        // the file to copy
    std::string pictureTarget;  // gallery + name + picture's extension
    std::string requestTarget;  // gallery + name + ".txt"
    std::string requestText;
    std::string fileName;                // name + extension, for the status line
    std::optional<std::string> content;  // the publish copy written instead of copying picture
    std::string note;                    // after the file name on the status line
    std::string readFailure;             // the picture could not be read: the copy fails
    std::string account = {};            // whose gallery it goes to, as the subject names it
};

// What the gallery makes of a message: a delivery, nothing (no picture, no "@" in the subject,
// no session file or gallery folder for the account), or a refusal by the gallery's own rules.
struct HandOffPlan {
    std::optional<GalleryDelivery> delivery;
    std::string refusal;  // " ->送信者不許可" or " ->サイズ超過" for the status line; "" otherwise
};

// Everything up to the new name, which may take a number from the counter file; writes nothing in
// the gallery. Subject "linkfrom@account", body "id#story" (or "＃"); sender is the address of
// the message's From (the display name never counts). Throws HandOffError when no name can be
// had, FileError or ConversionError when the session or counter file fails (a maxbytes that is
// no number among them).
HandOffPlan PlanHandOff(const HandOffSettings& settings, Clock& clock,
                        const std::string& messageFolder, const std::string& subject,
                        const std::string& sender, const std::string& body,
                        const std::string& attachments,
                        const std::map<std::string, std::string>* attachmentBytes = nullptr);

// Whether the sender's address may post by an allowfrom value: an entry is a full address or a
// domain ("@example.jp"), compared without case; an empty value lets everyone post.
bool MayPost(const std::string& allowFrom, const std::string& sender);
// A maxbytes value as a number of bytes; ConversionError when it is none.
std::int64_t MaxBytes(const std::string& value);

// Copies the picture and writes the link request: both, or neither. A failed copy throws
// HandOffError, a link request that cannot be written FileError.
void DeliverHandOff(const GalleryDelivery& delivery, Clock& clock);

}  // namespace korv
