#pragma once
// The one entry to the gallery for an archived message, in two steps, so that the archive can note
// what will be written before anything is. The archive sees it as a HandOff: its tests hand
// messages to recorders instead, and the archive needs nothing else of the gallery.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "activity/status_log.h"
#include "gallery/hand_off.h"
#include "platform/clock.h"

namespace korv {

// One archived message as the hand-off gets it; texts are CP932 and whole (the header as
// received, the body with any zero bytes in it).
struct ArchivedMessage {
    std::string folder;  // holds its files; ends with a delimiter
    std::string subject;
    std::string date;
    std::string from;
    // The address of From as the summary shows it, from the whole header, without the display
    // name; "" when there is none or it is not plainly one address.
    std::string fromAddress;
    std::string header;
    std::string body;
    std::string attachments;  // the written names as comma text
    // Bytes of written attachments still in memory, by name: read from here, not again from the
    // folder.
    std::map<std::string, std::string> attachmentBytes = {};
};

// What a hand-off is about to write: every file, and the account whose gallery holds them.
struct HandOffFiles {
    std::string account;
    std::vector<std::string> files;
};

// Hands an archived message on (to a gallery) in two steps, so that the archive can note what
// will be written before anything is.
class HandOff {
  public:
    virtual ~HandOff() = default;
    // Decides what the message gives on and takes the names it needs; writes nothing yet.
    // Returns every file carryOut will create (none when there is nothing to hand on) and the
    // account whose gallery holds them.
    virtual HandOffFiles prepare(const ArchivedMessage& message) = 0;
    // Creates the prepared files; a failure throws and leaves none of them.
    virtual void carryOut() = 0;
    // The gallery folder of an account as the settings give it now; "" when there is none. An
    // interrupted hand-off is undone only inside it.
    virtual std::string galleryFolder(const std::string& /*account*/) { return {}; }
};

class GalleryHandOff : public HandOff {
  public:
    GalleryHandOff(HandOffSettings settings, StatusLog& status, Clock& clock)
        : settings_(std::move(settings)), status_(status), clock_(clock) {}

    HandOffFiles prepare(const ArchivedMessage& message) override;
    void carryOut() override;
    std::string galleryFolder(const std::string& account) override;

  private:
    HandOffSettings settings_;
    StatusLog& status_;
    Clock& clock_;
    std::optional<GalleryDelivery> planned_;
};

}  // namespace korv
