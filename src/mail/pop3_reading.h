#pragma once
// The program's own reading of a message on an open MailLib POP3 handle: the header, the texts
// and the body whole, where the MailLib* calls cut every text to a MailBuffer and read the body
// up to its first zero byte. Same requests as MailLibPop3GetMailStatus and MailLibPop3GetMail
// (Pop3ReadAhead serves both); failures throw MailError with the code those calls return
// (kMailLibBroken when the connection is gone).
#include <string>

#include "mail/mime_message.h"

namespace korv::mail {

// The header texts of message `number` (TOP n 0, or RETR where TOP is refused).
MessageTexts Pop3ReadHeader(int handle, int number);
// The whole message decoded, its attachments written into attachmentFolder. An attachment that
// cannot be written throws kMailLibAttachmentFailed and leaves none of its bytes in the folder.
DecodedMessage Pop3ReadMessage(int handle, int number, const std::string& attachmentFolder);

}  // namespace korv::mail
