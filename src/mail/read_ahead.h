#pragma once
// A hint beside the mail library's calls: ask the server now for message `number`, whose
// MailLibPop3GetMailStatus and MailLibPop3GetMail come next, so that the server reads and sends
// it while the caller still works on the message before. Any other call first drops what was
// asked for ahead; asking again for a message already asked for does nothing. Without the hint
// every call works the same, only with a wait per request.
#include <vector>

namespace korv::mail {

void Pop3ReadAhead(int handle, int number);
// The same for several messages, fetched in this order, asked for in one request.
void Pop3ReadAhead(int handle, const std::vector<int>& numbers);

}  // namespace korv::mail
