#pragma once
// The one error of the mail library's inside. It carries the text MailLibGetMessage hands out
// (CP932, naming the server or file and the reason) and the result code of the MailLib call it
// ends; the calls convert it in one place (atBoundary in buffers.h).
#include <stdexcept>
#include <string>
#include <string_view>

#include "mail/maillib.h"

namespace korv::mail {

class MailError : public std::runtime_error {
  public:
    explicit MailError(const std::string& text, int code = kMailLibFailed)
        : std::runtime_error(text), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

// "<protocol>サーバ <server>: <reason>", the form of every error a server's conversation causes.
std::string serverError(std::string_view protocol, std::string_view server,
                        std::string_view reason);

}  // namespace korv::mail
