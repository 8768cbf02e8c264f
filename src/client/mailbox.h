#pragma once
// The browser's POP3 commands: list, view, delete and save. Each opens a connection of its own,
// protected as the poll's are, and closes it however it ends. Row p is message p + 1 on the
// server. A password command that fails raises its CommandError.
#include <optional>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace korv {

// One row of the message list.
struct MailRow {
    std::string subject;
    std::string date;
    std::string from;
    std::string header;  // the header block's text with CR LF appended (at most 8191 characters)
};

// The mailbox as the list shows it. A server that cannot be reached raises "接続失敗" and why,
// a refused login "ログインエラー:" and the server's text (as MailError).
std::vector<MailRow> ListMailbox(const Settings& settings);

// The body of row p as the library gives it; nothing when the server has no such message.
// Raises MailError with the reason when the server cannot be reached, refuses the login (both
// as ListMailbox) or the message cannot be fetched. Attachments go to AttachmentFolder().
std::optional<std::string> FetchBody(const Settings& settings, int p);

// Deletes row p when the server can be reached and still has such a message; silent otherwise
// (the list reloaded after it says why).
void DeleteMessage(const Settings& settings, int p);

// The body last viewed and its row (-1: none), kept so that a save writes the library's bytes.
struct ViewedMessage {
    int row = -1;
    std::string body;
};

// Writes row p's header block and body to path, byte for byte; the body is fetched first (and
// kept in viewed) unless viewed holds row p. Returns "" or the text for the error box; raises
// FileError when the file cannot be written.
std::string SaveMessage(const Settings& settings, int p, const MailRow& row, ViewedMessage& viewed,
                        const std::string& path);

}  // namespace korv
