#pragma once
// The one error of the mail module. It carries a text (CP932, naming the server or file and the
// reason) and a kind its callers act on; the MailLib* calls turn the kind into their result code
// in one place (atBoundary in buffers.h).
#include <stdexcept>
#include <string>
#include <string_view>

namespace korv::mail {

class MailError : public std::runtime_error {
  public:
    enum class Kind {
        Failed,            // nothing to hand out: no such message, no id or size for it
        Broken,            // the connection is gone: dropped, timed out, a reply that is no POP3
        Refused,           // the server answered -ERR to a request; the connection stays usable
        LoginRefused,      // the server refused the login (wrong password, [AUTH], no APOP)
        LoginLater,        // refused for now: [LOGIN-DELAY], [IN-USE], [SYS/TEMP]
        LoginServerFault,  // refused for a permanent fault of the server's own ([SYS/PERM])
        TooLarge,          // the message is over the size the library takes
        Settings,          // the settings cannot give a connection (server name, security, CA)
        Insecure,          // no TLS where the login needs it; nothing of the login was sent
        AttachmentFailed,  // an attachment could not be written
        BodyTooLarge,      // the C face's body buffer was too small
        ListEnd,           // the C face's id listing has nothing from this number on
        PartsMissing,      // a split message lacks parts
    };
    explicit MailError(const std::string& text, Kind kind = Kind::Failed)
        : std::runtime_error(text), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// "<protocol>サーバ <server>: <reason>", the form of every error a server's conversation causes.
std::string serverError(std::string_view protocol, std::string_view server,
                        std::string_view reason);

}  // namespace korv::mail
