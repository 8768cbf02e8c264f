#pragma once
// The browser commands against a real Dovecot and a real SMTP server.
#include <gtest/gtest.h>

#include <string>

#include "client/mailbox.h"
#include "platform/codepage.h"
#include "settings/settings.h"
#include "support/dovecot_server.h"
#include "support/mail_texts.h"
#include "support/smtp_server.h"
#include "support/temp_dir.h"
#include "support/temp_location.h"

namespace korv::test {

class ServerTest : public ::testing::Test {
  protected:
    Settings settings() const {
        Settings s;
        s.Pop3Name = pop3.address();
        s.UserID = pop3.user();
        s.Password = pop3.password();
        s.CaFile = pop3.caFile();
        s.SmtpName = smtp.address();
        s.MailAddress = "korv@example.jp";
        return s;
    }
    std::vector<MailRow> rows() const { return ListMailbox(settings()); }
    // Saves row p of a fresh listing as the browser does; returns the file's path.
    std::string saveRow(int p, const std::string& name) {
        ViewedMessage viewed;
        EXPECT_EQ(SaveMessage(settings(), p, rows().at(p), viewed, saved.file(name)), "");
        return saved.file(name);
    }

    TempDir saved;
    DovecotServer pop3;
    SmtpServer smtp;
    // After the servers: their sockets would not fit below the test's temporary location.
    TempLocation tmp;
};

}  // namespace korv::test
