#include "mail/maillib.h"

#include "mail/buffers.h"
#include "mail/mime/mime_message.h"

namespace korv::mail {

// Option 1 is the largest text out-value; it is fixed at the MailBuffer size.
int MailLibStartup() {
    ensureMimeInitialised();
    return 0;
}
int MailLibSetOption(int, int) { return 0; }
// GMime itself stays until the process ends (see ensureMimeInitialised), so a caller that
// starts and cleans up again, as every pass of a resident poller did, leaves nothing behind.
int MailLibCleanup() {
    closeAllPop3Sessions();
    return 0;
}

}  // namespace korv::mail
