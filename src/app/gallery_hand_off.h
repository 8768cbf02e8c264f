#pragma once
// The poll's hand-off to a gallery: the archive asks what a message will write there before any
// of it is written.
#include <optional>

#include "gallery/hand_off.h"
#include "polling/poll.h"

namespace korv {

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
