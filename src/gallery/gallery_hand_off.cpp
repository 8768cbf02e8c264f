#include "gallery/gallery_hand_off.h"

#include "gallery/session.h"

namespace korv {

HandOffFiles GalleryHandOff::prepare(const ArchivedMessage& m) {
    planned_.reset();
    HandOffPlan plan;
    try {
        plan = PlanHandOff(settings_, clock_, m.folder, m.subject, m.fromAddress, m.body,
                           m.attachments, &m.attachmentBytes);
    } catch (const HandOffError& e) {
        status_.AppendStatus(e.statusPiece());
        throw;
    }
    // Turned away by the gallery's rules: the message is archived all the same.
    if (!plan.refusal.empty()) status_.AppendStatus(plan.refusal);
    planned_ = std::move(plan.delivery);
    if (!planned_) return {};
    return {planned_->account, {planned_->pictureTarget, planned_->requestTarget}};
}

void GalleryHandOff::carryOut() {
    if (!planned_) return;
    try {
        DeliverHandOff(*planned_, clock_);
    } catch (const HandOffError& e) {
        status_.AppendStatus(e.statusPiece());
        throw;
    }
    status_.AppendStatus(" ->" + planned_->fileName + planned_->note);
}

std::string GalleryHandOff::galleryFolder(const std::string& account) {
    return LoadSessionFile(settings_.SessionDB, account).path;
}

}  // namespace korv
