#include <cstdio>
#include <cstring>
#include <vector>

#include "mail/maillib.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/whole_file.h"
#include "polling/poll.h"

namespace korv {

std::string NextFreeFolder(const std::string& base, const std::string& prefix, int width,
                           int& startNumber) {
    const std::string head = withTrailingDelimiter(base) + prefix;
    for (int n = startNumber;; ++n) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%0*d", width, n);
        std::string candidate = head + digits;
        if (!folderExists(candidate)) {
            startNumber = n + 1;
            return candidate;
        }
    }
}

void ArchiveMessage(PollContext& ctx, int handle, int number) {
    using namespace mail;
    std::vector<char> subject(kMailBufferBytes), date(kMailBufferBytes), from(kMailBufferBytes),
        header(kMailBufferBytes), names(kMailBufferBytes);
    std::string base = ctx.accountFolder + formatDayName(ctx.clock.now());
    int start = base == ctx.lastDayFolder ? ctx.nextFolderNumber : 0;
    std::string folder = NextFreeFolder(base, "", 5, start);
    // Taken meanwhile (by another poll, or a file has the name): never mix two messages.
    if (!createNewFolder(folder)) throw FileError(folder + " を作成できません"_cp);
    ctx.lastDayFolder = base;
    ctx.nextFolderNumber = start;
    folder = withTrailingDelimiter(folder);

    MailLibPop3GetMailStatus(handle, number, subject.data(), date.data(), from.data(),
                             header.data(), 0);
    // The folder is new: nothing in it can be lost, and a second poll that picked the same
    // folder meanwhile makes this one fail instead of mixing two messages.
    WriteNewFile(header.data(), folder + "header.txt");

    int size = MailLibPop3GetMailSize(handle, number);
    std::vector<char> body(size > 0 ? static_cast<std::size_t>(size) : 0);
    if (!body.empty()) body[0] = '\0';
    MailLibPop3GetMail(handle, number, subject.data(), date.data(), from.data(), header.data(),
                       body.empty() ? nullptr : body.data(), folder.c_str(), names.data());

    std::string summary = std::string(date.data()) + " |" + subject.data() + "| " + from.data();
    if (names[0] != '\0') summary += " atc:" + std::string(names.data());
    ctx.status.BeginStatusLine();
    ctx.status.AppendStatus(summary);

    std::string bodyText =
        body.empty() ? std::string() : std::string(body.data(), strnlen(body.data(), body.size()));
    WriteNewFile(bodyText, folder + "body.txt");
    if (ctx.handOff)
        ctx.handOff(folder, subject.data(), date.data(), from.data(), header.data(), bodyText,
                    names.data());
    std::vector<char>().swap(body);
    ctx.status.WriteStatusToLog();
}

}  // namespace korv
