#pragma once
// The texts the mail library's POP3 calls fill, each buffer as large as the library promises,
// filled with 'x' so that a text left unset shows.
#include <string>
#include <vector>

#include "mail/maillib.h"

namespace korv::test {

struct Texts {
    std::vector<char> subject = std::vector<char>(mail::kMailBufferBytes, 'x');
    std::vector<char> date = std::vector<char>(mail::kMailBufferBytes, 'x');
    std::vector<char> from = std::vector<char>(mail::kMailBufferBytes, 'x');
    std::vector<char> header = std::vector<char>(mail::kMailBufferBytes, 'x');
    std::vector<char> names = std::vector<char>(mail::kMailBufferBytes, 'x');
};

inline std::string errorText() {
    std::vector<char> buf(mail::kMailBufferBytes);
    mail::MailLibGetMessage(0, buf.data(), mail::kMailTextSize);
    return buf.data();
}

inline int status(int handle, int number, Texts& t) {
    return mail::MailLibPop3GetMailStatus(handle, number, t.subject.data(), t.date.data(),
                                          t.from.data(), t.header.data(), 0);
}

}  // namespace korv::test
