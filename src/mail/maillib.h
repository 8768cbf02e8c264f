#pragma once
// The mail library: POP3 (with APOP), SMTP, MIME decoding, header fields and split messages,
// called with caller-owned fixed-size buffers. All texts handed out are CP932.
//
// Buffer contract: a MailBuffer is 8193 bytes; where a call takes a size, 8192 is passed. Every
// text out-value is zero-terminated and at most 8192 bytes including the zero, empty when the
// call has nothing or fails; nothing is written past the size. A body buffer is exactly as large
// as MailLibPop3GetMailSize reported (in extraction: the first saved file's size); the body is
// written zero-terminated within it. A null buffer receives nothing.

namespace korv::mail {

inline constexpr int kMailBufferBytes = 8193;
inline constexpr int kMailTextSize = 8192;
inline constexpr int kWorkAreaBytes = 401;
inline constexpr int kMailBodyHintLimit = 32 << 20;

// Results of the POP3 calls besides 0 (done) and the counts and sizes they return. Every failure
// leaves its text for MailLibGetMessage.
// Nothing to hand out: an unknown handle or number, a message the listing has no id or size for.
inline constexpr int kMailLibFailed = -1;
// This request cannot be had, the connection stays usable: the server answered -ERR (a login it
// refused, a message it will not send), or the message is over the size the library takes.
inline constexpr int kMailLibRefused = -2;
// The connection is gone: dropped, timed out, past its deadline, or a reply that is no POP3.
// Every later call on the handle gives the same.
inline constexpr int kMailLibBroken = -3;
// MailLibPop3GetMail: the decoded body did not fit the body buffer (it holds what fit). The
// library keeps that message: MailLibPop3GetMailSize now reports the room the body needs, and the
// next MailLibPop3GetMail of the same number hands out the same texts, body and names without
// asking the server again or writing the attachments again.
inline constexpr int kMailLibBodyTooLarge = -4;
// MailLibPop3GetMail: an attachment could not be written (the text names the file and why); no
// part of that attachment is left in the folder.
inline constexpr int kMailLibAttachmentFailed = -5;
// MailLibPop3GetUidl: no message with this or a higher number is in the server's listing.
inline constexpr int kMailLibListEnd = -6;
// No connection because of the settings: a server name that does not parse, a CA file that
// cannot be read, an unknown security word.
inline constexpr int kMailLibSettings = -7;
// No connection because the server cannot be trusted with the login: no TLS where it is
// required, a failed handshake, a refused certificate. Nothing of the login was sent.
inline constexpr int kMailLibInsecure = -8;
// MailLibPop3Authenticate: the server refused the login for now, with a response code that says
// a later login may pass ([LOGIN-DELAY], [IN-USE], [SYS/TEMP]).
inline constexpr int kMailLibTryLater = -9;
// MailLibPop3Authenticate: the server refused the login for a fault of its own that it calls
// permanent ([SYS/PERM]): neither a later try nor another password cures it.
inline constexpr int kMailLibServerFault = -10;

// Set-up and release.
int MailLibStartup();
int MailLibSetOption(int option, int value);
int MailLibCleanup();

// POP3. A handle is -1 when there is no connection.
int MailLibPop3Connect(const char* server);
// Returns the message count; kMailLibRefused when the login was refused (no response code, [AUTH]
// or one the library does not know), kMailLibTryLater or kMailLibServerFault for the codes they
// name, kMailLibBroken when the connection failed meanwhile.
int MailLibPop3Authenticate(int handle, const char* user, const char* password, int apopFlag);
// The unique id as stored: an id made only of the characters 0x21-0x7E is handed out unchanged;
// any other id (a CR, a NUL, 8-bit bytes) as a blank followed by the id with every byte outside
// that range and every '%' written as '%' and two upper-case hex digits. No server's id holds a
// blank, so the two forms never meet.
int MailLibPop3GetUidl(int handle, int number, char* uidl, int size);
int MailLibPop3GetMailStatus(int handle, int number, char* subject, char* date, char* from,
                             char* header, int flag);
// A hint from the server's listing for the body buffer (what the server announces is not
// trusted: a figure beyond kMailBodyHintLimit gives that limit); after kMailLibBodyTooLarge, the
// room the kept body needs.
int MailLibPop3GetMailSize(int handle, int number);
// The body goes into a buffer as large as MailLibPop3GetMailSize last reported for the number;
// without a report the buffer is taken as empty, so a message whose size the listing lacks comes
// by kMailLibBodyTooLarge and a second call. A message the listing announces as larger than the
// library takes (1 GiB) is refused without asking the server for it, as in
// MailLibPop3GetMailStatus. After kMailLibAttachmentFailed nothing is kept.
int MailLibPop3GetMail(int handle, int number, char* subject, char* date, char* from, char* header,
                       char* body, const char* attachmentFolder, char* names);
int MailLibPop3DeleteMail(int handle, int number);
int MailLibPop3Close(int handle);

// SMTP. Negative on failure.
int MailLibSmtpSendMail(const char* server, const char* to, const char* cc, const char* bcc,
                        const char* from, const char* subject, const char* body,
                        const char* extraHeaders, const char* attachmentPath, int flag);

// Text of the last error.
int MailLibGetMessage(int code, char* text, int size);
// Non-zero and the decoded value when the field (name with colon) is in the header text.
int MailLibGetHeaderField(char* value, const char* header, const char* fieldName, int size);

// Saved messages: 0 = whole message with an attachment, n > 0 = part n of a split message
// (id receives the identifier shared by its parts), negative = no attachment.
int MailLibAttachmentFileStatus(const char* messageText, char* id, int size);
// After the last part: 1 = attachment written, -5 = attachment file cannot be written,
// -6 = parts missing.
int MailLibAttachmentFileFirst(void* workArea, char* subject, char* date, char* from, char* header,
                               char* body, const char* outputFolder, char* fileName,
                               const char* messageText, int flag);
int MailLibAttachmentFileNext(void* workArea, const char* messageText, int flag);
int MailLibAttachmentFileClose(void* workArea);

}  // namespace korv::mail
