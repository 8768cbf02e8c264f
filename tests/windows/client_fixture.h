#pragma once
// The main window with its two dialogs against a real Dovecot and a real SMTP server.
#include <gtest/gtest.h>

#include <QAction>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/client_core.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "support/dovecot_server.h"
#include "support/fake_clock.h"
#include "support/mail_texts.h"
#include "support/scripted_dialogs.h"
#include "support/smtp_server.h"
#include "support/temp_dir.h"
#include "support/temp_location.h"
#include "windows/qt_text.h"
#include "windows/tform1.h"
#include "windows/unite_form.h"
#include "windows/write_form.h"

namespace korv::test {

class ClientTest : public ::testing::Test {
  protected:
    void start(std::optional<std::string> password = std::nullopt) {
        writeBytes(home.file("korvanto.ini"),
                   "[KORVANTO2]\r\nPop3Name=" + pop3.address() + "\r\nUserID=" + pop3.user() +
                       "\r\nPassword=" + password.value_or(pop3.password()) +
                       "\r\nSmtpName=" + smtp.address() + "\r\nMailAddress=korv@example.jp\r\n" +
                       "CaFile=" + pop3.caFile() + "\r\n");
        form = std::make_unique<TForm1>(home.path(), clock, dialogs);
        form->setDialogs(&write, &unite);
        form->FormActivate();
    }

    int rows() const { return form->MailListView->topLevelItemCount(); }
    std::string cell(int row, int column) const {
        return fromQ(form->MailListView->topLevelItem(row)->text(column));
    }
    void select(int row) {
        form->MailListView->clearSelection();
        form->MailListView->topLevelItem(row)->setSelected(true);
    }
    std::string memo() const { return fromQ(form->memo1->toPlainText()); }
    // Views the row and saves it as a text file, as a user does.
    std::string viewAndSave(int row, const std::string& name) {
        select(row);
        form->MailListViewClick();
        dialogs.fileAnswers.push_back(saved.file(name));
        form->mSaveClick();
        return saved.file(name);
    }

    TempDir home;
    TempDir saved;
    DovecotServer pop3;
    SmtpServer smtp;
    // After the servers: their sockets would not fit below the test's temporary location.
    TempLocation tmp;
    FakeClock clock{DateTime{2026, 12, 7, 9, 0, 0, 0}};
    ScriptedDialogs dialogs;
    TWriteForm write{dialogs};
    TUniteForm unite{dialogs};
    std::unique_ptr<TForm1> form;
};

}  // namespace korv::test
