#pragma once
// Hands a message's picture to the gallery folder of the account its subject names, beside a
// link request that carries the id and the story of its body.
#include <string>

#include "app/status_log.h"
#include "platform/clock.h"

namespace korv {

struct HandOffSettings {
    std::string DefaultImg;  // already resolved; "" when there is none
    std::string SessionDB;   // first piece of every session file's name
};

// Subject "linkfrom@account", body "id#story" (or "＃"). Date, From and Header are not used.
// Appends " ->" and the new file name to the status line, " ->コピー失敗 " and the intended
// name when the picture could not be copied, " ->採番失敗" when no name could be had.
void HandOffImage(const HandOffSettings& settings, StatusLog& status, Clock& clock,
                  const std::string& messageFolder, const std::string& subject,
                  const std::string& date, const std::string& from, const std::string& header,
                  const std::string& body, const std::string& attachments);

}  // namespace korv
