// Connects to the POP3 server given, cleans the library up, and exits 0 when the handle it held is
// gone (its QUIT sent, a later call refused). A process of its own: the test process has threads,
// and the library set up again after its cleanup would not be the same.
#include "mail/maillib.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    int h = korv::mail::MailLibPop3Connect(argv[1]);
    korv::mail::MailLibCleanup();
    bool gone = h != -1 && korv::mail::MailLibPop3Authenticate(h, "u", "p", 0) < 0;
    return gone ? 0 : 1;
}
