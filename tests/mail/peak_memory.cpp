// Run by hand, never by ctest: the peak memory of a process that fetches one big message (one
// base64 attachment) from a scripted peer and archives its attachment.
//
//   mail_peak_memory [megabytes=200] [--default-malloc]
//
// The fetch runs in a child forked before the message exists, set up as the program sets up
// malloc (unless --default-malloc), so that its VmHWM holds nothing but the fetch.
#include <gmime/gmime.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "mail/header_text.h"
#include "mail/maillib.h"
#include "mail/mime_message.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

using namespace korv::mail;

namespace {

long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::string(field).size());
    return -1;
}

// One message of about `bytes` octets: a short text and one base64 attachment.
std::string bigMessage(std::size_t bytes) {
    std::string data(bytes / 4 * 3, '\0');
    unsigned v = 4711;
    for (char& c : data) {
        v = v * 1103515245u + 12345u;
        c = static_cast<char>(v >> 16);
    }
    ensureMimeInitialised();
    GMimeEncoding state;
    g_mime_encoding_init_encode(&state, GMIME_CONTENT_ENCODING_BASE64);
    std::string encoded(g_mime_encoding_outlen(&state, data.size()), '\0');
    encoded.resize(g_mime_encoding_flush(&state, data.data(), data.size(), encoded.data()));
    std::string().swap(data);
    return "Subject: big\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n"
           "--B\r\nContent-Type: text/plain\r\n\r\nsee the attachment\r\n"
           "--B\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=big.bin\r\n\r\n" +
           toCrLf(encoded) + "--B--\r\n.\r\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
    std::size_t bytes = megabytes * 1000 * 1000;
    korv::test::ScriptedPeer peer("+OK ready\r\n", [bytes](const std::string& c) -> std::string {
        if (c == "STAT") return "+OK 1 " + std::to_string(bytes) + "\r\n";
        if (c == "LIST") return "+OK\r\n1 " + std::to_string(bytes) + "\r\n.\r\n";
        if (c == "RETR 1") return "+OK\r\n" + bigMessage(bytes);
        return "+OK\r\n";
    });
    korv::test::TempDir folder;
    pid_t child = fork();
    if (child == 0) {
        if (argc < 3 || std::string(argv[2]) != "--default-malloc") {
            mallopt(M_MMAP_THRESHOLD, 16 << 20);
            mallopt(M_TRIM_THRESHOLD, 32 << 20);
        }
        MailLibStartup();
        long before = statusKiB("VmRSS:");
        int h = MailLibPop3Connect(peer.address().c_str());
        int count = MailLibPop3Authenticate(h, "u", "p", 0);
        int size = MailLibPop3GetMailSize(h, 1);
        // Not zero-filled: a buffer as large as the hint (up to 32 MiB) costs only what the body
        // fills of it.
        std::unique_ptr<char[]> body(new char[size > 0 ? static_cast<std::size_t>(size) : 1]);
        std::vector<char> subject(kMailBufferBytes), date(kMailBufferBytes), from(kMailBufferBytes),
            header(kMailBufferBytes), names(kMailBufferBytes);
        int code = MailLibPop3GetMail(h, 1, subject.data(), date.data(), from.data(), header.data(),
                                      body.get(), folder.path().c_str(), names.data());
        MailLibPop3Close(h);
        std::vector<char> error(kMailBufferBytes);
        MailLibGetMessage(0, error.data(), kMailTextSize);
        long peak = statusKiB("VmHWM:");
        std::printf("login %d, size hint %d, GetMail %d %s, names \"%s\"\n", count, size, code,
                    error.data(), names.data());
        std::printf("RSS before the fetch %ld KiB, peak %ld KiB (%.1f MiB), message %.1f MiB\n",
                    before, peak, peak / 1024.0, bytes / 1048576.0);
        std::printf("peak beyond the message: %.1f MiB\n", peak / 1024.0 - bytes / 1048576.0);
        std::fflush(stdout);
        _exit(code == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::error_code ignored;
    std::printf("attachment written: %ju bytes\n",
                static_cast<std::uintmax_t>(
                    std::filesystem::file_size(folder.path() + "big.bin", ignored)));
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
