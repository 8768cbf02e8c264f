#include "app/gallery_hand_off.h"

namespace korv {

std::vector<std::string> GalleryHandOff::prepare(const ArchivedMessage& m) {
    planned_.reset();
    try {
        planned_ = PlanHandOff(settings_, clock_, m.folder, m.subject, m.body, m.attachments);
    } catch (const HandOffError& e) {
        status_.AppendStatus(e.statusPiece());
        throw;
    }
    if (!planned_) return {};
    return {planned_->pictureTarget, planned_->requestTarget};
}

void GalleryHandOff::carryOut() {
    if (!planned_) return;
    try {
        DeliverHandOff(*planned_, clock_);
    } catch (const HandOffError& e) {
        status_.AppendStatus(e.statusPiece());
        throw;
    }
    status_.AppendStatus(" ->" + planned_->fileName);
}

}  // namespace korv
