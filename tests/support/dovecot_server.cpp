#include "dovecot_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace korv::test {
namespace fs = std::filesystem;

namespace {

std::string script() {
    const char* src = std::getenv("KORVANTO_SOURCE_DIR");
    return std::string(src ? src : ".") + "/scripts/dovecot-server";
}

std::string shellQuoted(const std::string& s) { return "'" + s + "'"; }

// Runs a shell command; its standard output, or an exception when it fails.
std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) throw std::runtime_error("cannot run " + command);
    std::array<char, 512> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    if (pclose(p) != 0) throw std::runtime_error(command + " failed: " + out);
    return out;
}

std::string fromEnv(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::string maildir(const std::string& dir) { return dir + "mail/Maildir/"; }

}  // namespace

DovecotServer::DovecotServer() : DovecotServer(Options{}) {}

DovecotServer::DovecotServer(Options options)
    : user_(fromEnv("KORV_POP3_USER", "korv")), password_(fromEnv("KORV_POP3_PASSWORD", "secret")) {
    std::string pattern = (fs::temp_directory_path() / "korvanto-dovecot-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    dir_ = pattern + "/";
    try {
        std::string env = std::string(options.tls ? "" : "KORV_DOVECOT_SSL=no ") +
                          (options.plaintextAuth ? "" : "KORV_DOVECOT_PLAINTEXT_AUTH=no ");
        if (!options.oauth2.empty())
            env += "KORV_DOVECOT_OAUTH2=" + shellQuoted(options.oauth2) +
                   " KORV_DOVECOT_OAUTH2_MECHANISMS=" + shellQuoted(options.oauth2Mechanisms) + " ";
        std::string line = run(env + shellQuoted(script()) + " start " + shellQuoted(dir_));
        char host[64] = "127.0.0.1";
        if (std::sscanf(line.c_str(), "pop3=%d pop3s=%d host=%63s", &port_, &pop3sPort_, host) < 2)
            throw std::runtime_error("dovecot-server said: " + line);
        host_ = host;
    } catch (...) {
        std::string cmd = shellQuoted(script()) + " stop " + shellQuoted(dir_) + " >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) { /* nothing more to stop */
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
        throw;
    }
}

DovecotServer::~DovecotServer() {
    std::string cmd = shellQuoted(script()) + " stop " + shellQuoted(dir_) + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) { /* the folder goes anyway */
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string DovecotServer::log() const {
    std::ifstream in(dir_ + "dovecot.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void DovecotServer::addMessage(const std::string& raw) {
    // Dovecot numbers new mail in the order of the file names, whose first part is the time.
    ++added_;
    std::string name = std::to_string(1000000000 + added_) + ".M" + std::to_string(added_) + "P" +
                       std::to_string(getpid()) + ".korvanto";
    std::string tmp = maildir(dir_) + "tmp/" + name;
    {
        std::ofstream out(tmp, std::ios::binary);
        out.write(raw.data(), static_cast<std::streamsize>(raw.size()));
        out.close();
        if (!out) throw std::runtime_error("cannot write " + tmp);
    }
    // The mailbox belongs to the unprivileged mail user.
    struct stat st {};
    if (stat(maildir(dir_).c_str(), &st) == 0 && chown(tmp.c_str(), st.st_uid, st.st_gid) != 0)
        throw std::runtime_error("chown failed for " + tmp);
    fs::rename(tmp, maildir(dir_) + "new/" + name);
}

void DovecotServer::clearMessages() {
    for (const char* sub : {"new", "cur"})
        for (auto& e : fs::directory_iterator(maildir(dir_) + sub)) fs::remove(e.path());
}

int DovecotServer::messageCount() const {
    int n = 0;
    for (const char* sub : {"new", "cur"})
        for ([[maybe_unused]] auto& e : fs::directory_iterator(maildir(dir_) + sub)) ++n;
    return n;
}

}  // namespace korv::test
