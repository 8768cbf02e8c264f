#pragma once
// Mail texts the tests put on the server or save as files, written as mail programs write them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/codepage.h"
#include "support/sample_mail.h"

namespace korv::test {

inline std::string jis(const std::string& cp932) {
    std::string out;
    EXPECT_TRUE(fromCp932(cp932, "ISO-2022-JP", out));
    return out;
}

// "=?ISO-2022-JP?B?...?=" of a Japanese text, as mail programs write it.
inline std::string jisWord(const std::string& cp932) {
    return "=?ISO-2022-JP?B?" + base64(jis(cp932)) + "?=";
}

inline std::string someBytes(std::size_t n, unsigned seed) {
    std::string bytes(n, '\0');
    for (auto& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<char>(seed >> 16);
    }
    return bytes;
}

inline std::string plainMessage(const std::string& subjectLine, const std::string& bodyJis,
                                const std::string& extraHeaders = "") {
    return "From: " + jisWord("山田太郎"_cp) + " <yamada@example.jp>\r\n" +
           "To: korv@example.jp\r\n" + "Subject: " + subjectLine + "\r\n" +
           "Date: Mon, 7 Dec 2026 10:11:12 +0900\r\n" + extraHeaders +
           "MIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=ISO-2022-JP\r\n"
           "Content-Transfer-Encoding: 7bit\r\n\r\n" +
           bodyJis;
}

// A message with one attached file, as a mail program sends it.
inline std::string messageWithAttachment(const std::string& fileName, const std::string& bytes,
                                         const std::string& bodyText) {
    return "From: sender@example.jp\r\n"
           "To: korv@example.jp\r\n"
           "Subject: photo\r\n"
           "Date: Mon, 7 Dec 2026 10:11:12 +0900\r\n"
           "Message-ID: <whole-1@example.jp>\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"=_b1\"\r\n\r\n"
           "--=_b1\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n\r\n" +
           bodyText +
           "--=_b1\r\n"
           "Content-Type: application/octet-stream; name=\"" +
           fileName +
           "\"\r\n"
           "Content-Disposition: attachment; filename=\"" +
           fileName +
           "\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n" +
           base64Lines(bytes) + "--=_b1--\r\n";
}

// The message cut at the given offsets into message/partial parts sharing `id`.
inline std::vector<std::string> splitMessageAt(const std::string& message, const std::string& id,
                                               std::vector<std::size_t> cuts) {
    cuts.insert(cuts.begin(), 0);
    cuts.push_back(message.size());
    const std::string total = std::to_string(cuts.size() - 1);
    std::vector<std::string> parts;
    for (std::size_t n = 1; n < cuts.size(); ++n) {
        const std::string number = std::to_string(n);
        parts.push_back(
            "From: sender@example.jp\r\n"
            "To: korv@example.jp\r\n"
            "Subject: photo (" +
            number + "/" + total +
            ")\r\n"
            "Date: Mon, 7 Dec 2026 10:11:1" +
            number +
            " +0900\r\n"
            "Message-ID: <" +
            id + "-" + number +
            ">\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: message/partial; id=\"" +
            id + "\"; number=" + number + "; total=" + total + "\r\n\r\n" +
            message.substr(cuts[n - 1], cuts[n] - cuts[n - 1]));
    }
    return parts;
}

// The message cut at line ends into `total` message/partial parts sharing `id`.
inline std::vector<std::string> splitMessage(const std::string& message, const std::string& id,
                                             int total) {
    std::vector<std::size_t> cuts;
    for (int n = 1; n < total; ++n)
        cuts.push_back(message.find("\r\n", message.size() * n / total) + 2);
    return splitMessageAt(message, id, cuts);
}

}  // namespace korv::test
