#include "support/smtp_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace korv::test {

// From the source tree named by the environment, else beside this file's source.
std::string supportScript(const std::string& name) {
    if (const char* source = std::getenv("KORVANTO_SOURCE_DIR"))
        return std::string(source) + "/tests/support/" + name;
    return (std::filesystem::path(__FILE__).parent_path() / name).string();
}

ScriptServer::ScriptServer(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = {"python3"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("ScriptServer: pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("ScriptServer: fork failed");
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        // Debian's python3 has aiosmtpd; another python3 may come first on PATH.
        execv("/usr/bin/python3", argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    // A generous limit for a loaded machine; the server prints its port once it listens.
    while (line.find('\n') == std::string::npos) {
        if (poll(&p, 1, 60000) <= 0 || read(out[0], &c, 1) != 1) break;
        line += c;
    }
    close(out[0]);
    port_ = std::atoi(line.c_str());
    if (port_ <= 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        close(stdinFd_);
        throw std::runtime_error("ScriptServer: " + arguments.front() + " did not start");
    }
}

ScriptServer::~ScriptServer() {
    close(stdinFd_);  // the server ends when its input closes
    int status;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) return;
        usleep(50000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
}

namespace {

std::vector<std::string> sinkArguments(const std::string& folder,
                                       const SmtpServer::Options& options) {
    std::vector<std::string> args = {supportScript("smtp_sink.py"), folder};
    if (options.starttls) args.push_back("--starttls");
    if (options.implicitTls) args.push_back("--tls");
    if (!options.login.empty()) {
        args.push_back("--auth");
        args.push_back(options.login);
    }
    if (!options.oauth.empty()) {
        args.push_back("--oauth");
        args.push_back(options.oauth);
    }
    return args;
}

}  // namespace

SmtpServer::SmtpServer() : SmtpServer(Options{}) {}

SmtpServer::SmtpServer(Options options) : server_(sinkArguments(store_.path(), options)) {}

SmtpServer::~SmtpServer() = default;

std::string SmtpServer::address() const { return "127.0.0.1:" + std::to_string(server_.port()); }

std::vector<SmtpServer::Received> SmtpServer::messages() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(store_.path()))
        if (entry.path().extension() == ".msg") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    std::vector<Received> out;
    for (const auto& n : names) {
        Received r;
        std::istringstream env(readBytes(store_.path() + n + ".env"));
        std::getline(env, r.mailFrom);
        for (std::string rcpt; std::getline(env, rcpt);)
            if (!rcpt.empty()) r.rcptTo.push_back(rcpt);
        r.data = readBytes(store_.path() + n + ".msg");
        std::string session = readBytes(store_.path() + n + ".session");
        r.tls = session.find("tls yes\n") != std::string::npos;
        if (std::size_t at = session.find("user "); at != std::string::npos)
            r.user = session.substr(at + 5, session.find('\n', at) - at - 5);
        if (std::size_t at = session.find("ehlo "); at != std::string::npos)
            r.ehlo = session.substr(at + 5, session.find('\n', at) - at - 5);
        std::istringstream parsed(readBytes(store_.path() + n + ".parsed"));
        for (std::string line; std::getline(parsed, line);) {
            std::size_t blank = line.find(' ');
            if (blank == std::string::npos) continue;
            std::string key = line.substr(0, blank), hex = line.substr(blank + 1), value;
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
                value += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            r.parsed.emplace_back(key, value);
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<std::string> SmtpServer::logins() const {
    std::vector<std::string> out;
    if (!std::filesystem::exists(store_.path() + "logins")) return out;
    std::istringstream in(readBytes(store_.path() + "logins"));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<std::string> SmtpServer::Received::parsedAll(const std::string& key) const {
    std::vector<std::string> values;
    for (const auto& [k, v] : parsed)
        if (k == key) values.push_back(v);
    return values;
}

std::string SmtpServer::Received::parsedOne(const std::string& key) const {
    auto values = parsedAll(key);
    return values.empty() ? std::string() : values.front();
}

}  // namespace korv::test
