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

// Set-up and release.
int MailLibStartup();
int MailLibSetOption(int option, int value);
int MailLibCleanup();

// POP3. A handle is -1 when there is no connection.
int MailLibPop3Connect(const char* server);
// Returns the message count, negative on refusal (error text via MailLibGetMessage).
int MailLibPop3Authenticate(int handle, const char* user, const char* password, int apopFlag);
int MailLibPop3GetUidl(int handle, int number, char* uidl, int size);
int MailLibPop3GetMailStatus(int handle, int number, char* subject, char* date, char* from,
                             char* header, int flag);
int MailLibPop3GetMailSize(int handle, int number);
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
