// A message sent through SMTP, delivered into Dovecot and fetched by POP3 comes back whole.
#include <gtest/gtest.h>

#include <vector>

#include "mail/maillib.h"
#include "platform/codepage.h"
#include "support/dovecot_server.h"
#include "support/smtp_server.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::mail;
using namespace korv::test;

TEST(RoundTrip, SubjectBodyAndAttachmentSurviveSmtpAndPop3) {
    MailLibStartup();
    SmtpServer smtp;
    DovecotServer pop3;
    TempDir dir;
    std::string picture;
    for (int i = 0; i < 5000; ++i) picture += static_cast<char>((i * 7919) % 256);
    writeBytes(dir.file("写真.jpg"), picture);  // the file system speaks UTF-8

    const std::string subject = "夕焼け①髙@acme"_cp;
    const std::string body = "1234#海辺で\r\n～ 二行目 －\r\n"_cp;
    ASSERT_GE(MailLibSmtpSendMail(smtp.address().c_str(), "korv@example.jp", nullptr, nullptr,
                                  "sender@example.jp", subject.c_str(), body.c_str(), nullptr,
                                  (dir.path() + "写真.jpg"_cp).c_str(), 0),
              0);
    auto received = smtp.messages();
    ASSERT_EQ(received.size(), 1u);
    // Another decoder reads the same mail.
    EXPECT_EQ(received[0].parsedOne("subject"), cp932ToUtf8(subject));
    EXPECT_EQ(received[0].parsedOne("attachment-name"), "写真.jpg");
    EXPECT_EQ(received[0].parsedOne("attachment-length"), std::to_string(picture.size()));
    EXPECT_EQ(received[0].parsedAll("defect"), std::vector<std::string>{});
    pop3.addMessage(received[0].data);

    int handle = MailLibPop3Connect(pop3.address().c_str());
    ASSERT_NE(handle, -1);
    ASSERT_EQ(MailLibPop3Authenticate(handle, pop3.user().c_str(), pop3.password().c_str(), 0), 1);
    std::vector<char> s(kMailBufferBytes), d(kMailBufferBytes), f(kMailBufferBytes),
        h(kMailBufferBytes), names(kMailBufferBytes);
    std::vector<char> text(static_cast<std::size_t>(MailLibPop3GetMailSize(handle, 1)));
    TempDir out;
    MailLibPop3GetMail(handle, 1, s.data(), d.data(), f.data(), h.data(), text.data(),
                       out.path().c_str(), names.data());
    MailLibPop3Close(handle);

    EXPECT_EQ(std::string(s.data()), subject);
    EXPECT_EQ(std::string(text.data()), body);
    EXPECT_EQ(std::string(f.data()).find("sender@example.jp") != std::string::npos, true);
    EXPECT_EQ(std::string(names.data()), "写真.jpg"_cp);
    EXPECT_EQ(readBytes(out.path() + "写真.jpg"), picture);
}
