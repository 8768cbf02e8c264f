#include "mail/maillib.h"

#include "mail/mime_message.h"
#include "mail/pop3_connection.h"

namespace korv::mail {

// Option 1 is the largest text out-value; it is fixed at the MailBuffer size.
int MailLibStartup() {
    ensureMimeInitialised();
    return 0;
}
int MailLibSetOption(int, int) { return 0; }
int MailLibCleanup() {
    closeAllPop3Sessions();
    shutdownMime();
    return 0;
}

}  // namespace korv::mail
