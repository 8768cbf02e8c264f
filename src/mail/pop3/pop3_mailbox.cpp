#include "mail/pop3/pop3_mailbox.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "mail/mime/header_text.h"
#include "platform/codepage.h"
#include "platform/text.h"

namespace korv::mail {
namespace {

// Asked for at a time: every request wakes the server, and one message ahead is enough to keep
// it busy while the caller archives the one before.
constexpr std::size_t kMessagesAskedAhead = 4;

// A name from the settings for an error text: control bytes become '?', a long one is cut.
std::string printable(const std::string& text) {
    std::string out = text.substr(0, 300);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

bool hasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// LOGIN-DELAY n [USER]: USER says the figure after the login is the user's own.
int loginDelayOf(const std::vector<std::string>& capabilities, bool& perUser) {
    auto args = findCapability(capabilities, "LOGIN-DELAY");
    perUser = args && args->size() > 1 && equalsIgnoringCase((*args)[1], "USER");
    if (!args || args->empty()) return 0;
    long long n = toNumber((*args)[0]);
    // A day at most: a server's figure must not stop the polls for ever.
    return n < 0 ? 0 : static_cast<int>(std::min<long long>(n, 86400));
}

// The SASL exchange of an OAuth2 access token; a refusal throws with the server's words, the
// token masked.
void bearerLogin(Pop3Connection& c, const std::string& user, const std::string& token) {
    if (!c.secure()) c.markBroken("TLS のない接続ではトークンを送りません"_cp + passwordNotSent());
    bool bearer = false;
    if (auto sasl = findCapability(c.capabilities(), "SASL"))
        for (const std::string& m : *sasl) bearer = bearer || equalsIgnoringCase(m, "OAUTHBEARER");
    const std::string auth = "auth=Bearer " + token + "\x01\x01";
    std::string response;
    if (bearer) {
        // The authorization identity escapes ',' and '=' (RFC 5801); host and port as connected.
        std::string gs2user;
        for (char ch : user) gs2user += ch == ',' ? "=2C" : ch == '=' ? "=3D" : std::string(1, ch);
        const std::string& server = c.server();
        std::size_t colon = server.rfind(':');
        std::string host = server.substr(0, colon), port = server.substr(colon + 1);
        if (host.size() > 1 && host.front() == '[') host = host.substr(1, host.size() - 2);
        response = "n,a=" + gs2user + ",\x01host=" + host + "\x01port=" + port + "\x01" + auth;
    } else {
        response = "user=" + user + "\x01" + auth;
    }
    Pop3Reply reply = c.saslExchange(bearer ? "AUTH OAUTHBEARER" : "AUTH XOAUTH2");
    if (reply.more) reply = c.saslExchange(base64Line(response));
    // A refusal comes as a challenge with the error first; the client answers it to hear -ERR.
    if (reply.more) reply = c.saslExchange(bearer ? "AQ==" : "");
    if (reply.more) c.markBroken("AUTH が終わりません"_cp);
    if (!reply.ok) throw MailError(c.refusal(reply).what(), loginRefusalKind(reply.text));
}

}  // namespace

long long toNumber(std::string_view digits) {
    if (digits.empty()) return -1;
    long long n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        n = n > (LLONG_MAX - 9) / 10 ? LLONG_MAX : n * 10 + (c - '0');
    }
    return n;
}

MailError::Kind loginRefusalKind(std::string_view text) {
    if (text.empty() || text[0] != '[') return MailError::Kind::LoginRefused;
    std::string_view code = text.substr(1, text.find(']') - 1);
    // Codes are hierarchical: SYS/TEMP/anything is still SYS/TEMP.
    auto is = [&](std::string_view name) {
        return startsWithIgnoringCase(code, name) &&
               (code.size() == name.size() || code[name.size()] == '/');
    };
    if (is("LOGIN-DELAY") || is("IN-USE") || is("SYS/TEMP")) return MailError::Kind::LoginLater;
    if (is("SYS/PERM")) return MailError::Kind::LoginServerFault;
    return MailError::Kind::LoginRefused;
}

std::string storedId(std::string_view id) {
    auto plain = [](unsigned char c) { return c >= 0x21 && c <= 0x7E; };
    if (std::all_of(id.begin(), id.end(), plain)) return std::string(id);
    std::string out = " ";
    for (unsigned char c : id) {
        if (plain(c) && c != '%') {
            out += static_cast<char>(c);
            continue;
        }
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += hex;
    }
    return out;
}

std::string md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr);
    std::string hex;
    char buf[3];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", digest[i]);
        hex += buf;
    }
    return hex;
}

std::unique_ptr<Pop3Mailbox> Pop3Mailbox::open(const Pop3Account& account, OpenProgress* progress) {
    auto mailbox = connect(account.server, account.options, account.timeouts, account.limits);
    if (progress) progress->connected = true;
    struct Report {
        Pop3Mailbox& mailbox;
        OpenProgress* progress;
        ~Report() {
            if (progress) progress->loginDelay = mailbox.loginDelay();
        }
    } report{*mailbox, progress};
    try {
        mailbox->login(account.credentials);
    } catch (const MailError& e) {
        const Credentials& given = account.credentials;
        if (e.kind() != MailError::Kind::LoginRefused || !given.renew) throw;
        Credentials fresh = given;
        fresh.password = given.renew();
        mailbox->login(fresh);
    }
    return mailbox;
}

std::unique_ptr<Pop3Mailbox> Pop3Mailbox::connect(const std::string& server,
                                                  const ConnectOptions& options,
                                                  const Pop3Timeouts& timeouts,
                                                  const Pop3Limits& limits) {
    Pop3Address address;
    if (!parsePop3Address(server, address))
        throw MailError("POP3サーバ名が正しくありません: \""_cp + printable(server) + "\"",
                        MailError::Kind::Settings);
    std::unique_ptr<Pop3Mailbox> mailbox(new Pop3Mailbox);
    mailbox->extensions_ = options.extensions;
    mailbox->closed_ = true;  // nothing to say QUIT to until the connection stands
    mailbox->connection_.open(address, options, timeouts, limits);
    mailbox->closed_ = false;
    return mailbox;
}

Pop3Mailbox::~Pop3Mailbox() { close(); }

void Pop3Mailbox::refuse(const std::string& reason, MailError::Kind kind) const {
    throw MailError(serverError("POP3", connection_.server(), reason), kind);
}

void Pop3Mailbox::checkUsable() const {
    if (connection_.broken()) throw MailError(connection_.brokenError(), MailError::Kind::Broken);
}

void Pop3Mailbox::checkNumber(int number) const {
    checkUsable();
    if (number < 1 || number > count_)
        refuse("メッセージ番号 "_cp + std::to_string(number) + " はありません"_cp,
               MailError::Kind::Failed);
}

int Pop3Mailbox::login(const Credentials& credentials) {
    checkUsable();
    const std::string& u = credentials.user;
    const std::string& p = credentials.password;
    if (hasLineBreak(u) || hasLineBreak(p))
        refuse("ユーザー名かパスワードに改行が含まれています"_cp, MailError::Kind::LoginRefused);
    if (credentials.method == Credentials::Method::Bearer &&
        (u.find('\x01') != std::string::npos || p.find('\x01') != std::string::npos))
        refuse("ユーザー名かトークンに制御文字が含まれています"_cp, MailError::Kind::LoginRefused);
    // From now on no server text in an error shows the password.
    connection_.setSecret(p);
    count_ = -1;
    uidls_ = Listing{};
    sizes_ = Listing{};
    plan_.clear();
    planAt_ = 0;
    planAsked_ = 0;
    loginDelay_ = 0;
    bool delayPerUser = false;
    if (extensions_) {
        const auto& capabilities = connection_.capabilities();
        // Without it a server may hand out a notice instead of a message with raw UTF-8 in its
        // header. A refusal leaves the session as it was.
        if (findCapability(capabilities, "UTF8")) connection_.exchange("UTF8");
        loginDelay_ = loginDelayOf(capabilities, delayPerUser);
    }
    // A command of the login; a refusal is told apart by its response code.
    auto step = [&](const std::string& line) {
        Pop3Reply reply = connection_.exchange(line);
        if (!reply.ok)
            throw MailError(connection_.refusal(reply).what(), loginRefusalKind(reply.text));
    };
    switch (credentials.method) {
        case Credentials::Method::Apop: {
            const std::string& g = connection_.greeting();
            std::size_t open = g.find('<');
            std::size_t close = open == std::string::npos ? open : g.find('>', open);
            if (close == std::string::npos)
                refuse("APOP に対応していません"_cp, MailError::Kind::LoginRefused);
            step("APOP " + u + " " + md5Hex(g.substr(open, close - open + 1) + p));
            break;
        }
        case Credentials::Method::Password:
            // Wait for USER's reply before PASS: some servers drop pipelined logins.
            step("USER " + u);
            step("PASS " + p);
            break;
        case Credentials::Method::Bearer:
            bearerLogin(connection_, u, p);
            break;
    }
    std::string reply = connection_.command("STAT");
    auto w = words(reply);
    long long count = w.empty() ? -1 : toNumber(w[0]);
    if (count < 0)
        connection_.markBroken("STAT の応答が正しくありません: "_cp + serverText(reply, p));
    // The listings say which numbers exist; a count beyond them costs nothing.
    count_ = static_cast<int>(std::min<long long>(count, INT_MAX));
    if (delayPerUser) {
        const auto& after = connection_.capabilities(true);
        bool again = false;
        if (findCapability(after, "LOGIN-DELAY")) loginDelay_ = loginDelayOf(after, again);
    }
    return count_;
}

void Pop3Mailbox::loadListing(const char* command, Listing& listing) {
    if (listing.loaded) return;
    if (listing.refused) throw MailError(listing.refusal, MailError::Kind::Refused);
    Pop3Reply reply = connection_.exchange(command);
    if (!reply.ok) {
        listing.refused = true;
        listing.refusal = connection_.refusal(reply).what();
        throw MailError(listing.refusal, MailError::Kind::Refused);
    }
    ReplyBuffer data;
    connection_.readMultiline(data);
    std::string_view text = data.view();
    std::size_t start = 0;
    while (start < text.size()) {
        // A line is cut at its CR LF only: a lone CR stays inside (part of an id).
        std::size_t end = text.find("\r\n", start);
        auto w = words(text.substr(start, end - start));
        start = end + 2;
        long long n = w.size() >= 2 ? toNumber(w[0]) : -1;
        if (n >= 1 && n <= INT_MAX) listing.entries[static_cast<int>(n)] = std::string(w[1]);
    }
    listing.loaded = true;
}

const std::map<int, std::string>& Pop3Mailbox::idListing() {
    checkUsable();
    if (count_ < 0) refuse("ログインしていません"_cp, MailError::Kind::Failed);
    loadListing("UIDL", uidls_);
    return uidls_.entries;
}

std::vector<std::pair<int, std::string>> Pop3Mailbox::ids() {
    std::vector<std::pair<int, std::string>> out;
    for (const auto& [number, id] : idListing()) {
        if (number > count_) break;
        out.emplace_back(number, storedId(id));
    }
    return out;
}

long long Pop3Mailbox::size(int number) {
    checkUsable();
    try {
        loadListing("LIST", sizes_);
    } catch (const MailError& e) {
        if (e.kind() != MailError::Kind::Refused) throw;
        return -1;
    }
    auto it = sizes_.entries.find(number);
    return it == sizes_.entries.end() ? -1 : toNumber(it->second);
}

const std::string* Pop3Mailbox::sizeListingRefusal() const {
    return sizes_.refused ? &sizes_.refusal : nullptr;
}

long long Pop3Mailbox::checkAnnouncedSize(int number) {
    long long announced = size(number);
    if (announced >= 0 &&
        static_cast<unsigned long long>(announced) > connection_.limits().maxMessageBytes)
        refuse("メッセージ "_cp + std::to_string(number) + " は大きすぎます ("_cp +
                   sizes_.entries[number].substr(0, 40) + " バイト)"_cp,
               MailError::Kind::TooLarge);
    return announced;
}

void Pop3Mailbox::fetchInOrder(const std::vector<int>& numbers) {
    plan_ = numbers;
    planAt_ = 0;
    planAsked_ = 0;
}

std::optional<std::size_t> Pop3Mailbox::planIndex(int number) {
    // Mostly this message or the next: the search goes on from where the last one was found, so
    // that a plan of n messages costs n steps, not n * n / 2.
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        const std::size_t k = (planAt_ + i) % plan_.size();
        if (plan_[k] == number) return planAt_ = k;
    }
    return std::nullopt;
}

void Pop3Mailbox::keepAhead(int number) {
    auto at = planIndex(number);
    if (!at) return;
    const std::size_t k = *at;
    // The next message is always on its way while this one is worked on.
    if (planAsked_ >= std::min(k + 2, plan_.size())) return;
    std::vector<int> numbers;
    for (; planAsked_ < std::min(k + 1 + kMessagesAskedAhead, plan_.size()); ++planAsked_)
        numbers.push_back(plan_[planAsked_]);
    askAhead(numbers);
}

// Only a speed-up: whatever goes wrong here shows in the calls that follow.
void Pop3Mailbox::askAhead(const std::vector<int>& numbers) {
    if (connection_.broken()) return;
    if (std::none_of(numbers.begin(), numbers.end(),
                     [&](int number) { return number >= 1 && number <= count_; }))
        return;
    try {
        // The size listing comes first: asked for later, between the two, it would drop them.
        size(1);
        std::vector<std::string> lines;
        for (int number : numbers) {
            if (number < 1 || number > count_) continue;
            // A message the fetch refuses is never asked for: its reply would have to be read.
            long long announced = size(number);
            if (announced >= 0 &&
                static_cast<unsigned long long>(announced) > connection_.limits().maxMessageBytes)
                continue;
            std::string n = std::to_string(number);
            if (connection_.isAhead("RETR " + n)) continue;
            // header() asks TOP first, then RETR when TOP is refused; fetch() asks RETR.
            lines.push_back("TOP " + n + " 0");
            lines.push_back("RETR " + n);
            if (topRefused_) lines.push_back("RETR " + n);
        }
        if (!lines.empty()) connection_.sendAhead(lines, true);
    } catch (const MailError&) {
    }
}

MessageTexts Pop3Mailbox::header(int number) {
    ReplyBuffer data;
    readHeader(number, data);
    return decodeHeaderTexts(data.view());
}

std::string Pop3Mailbox::headerText(int number) {
    ReplyBuffer data;
    readHeader(number, data);
    return headerBlockText(data.view());
}

void Pop3Mailbox::readHeader(int number, ReplyBuffer& data) {
    checkNumber(number);
    keepAhead(number);
    checkAnnouncedSize(number);
    std::string n = std::to_string(number);
    // TOP is optional for a server; the whole message holds the header as well.
    if (!connection_.exchange("TOP " + n + " 0").ok) {
        topRefused_ = true;
        connection_.command("RETR " + n);
    }
    // Only the header is kept, also from a server that sends more.
    connection_.readMultiline(data, 0, Pop3Keep::Header);
}

DecodedMessage Pop3Mailbox::fetch(int number, const std::string& folder, std::size_t holdUpTo) {
    ReplyBuffer data = receive(number);
    return decodeMessage(data.view(), folder, holdUpTo);
}

ReplyBuffer Pop3Mailbox::receive(int number) {
    checkNumber(number);
    keepAhead(number);
    long long announced = checkAnnouncedSize(number);
    ReplyBuffer data;
    connection_.command("RETR " + std::to_string(number));
    connection_.readMultiline(data, announced > 0 ? static_cast<std::size_t>(announced) : 0);
    // Requests out of step with the calls (a server without TOP answers the header with the
    // whole message) were dropped: the ones after this message are asked for again.
    auto at = planIndex(number);
    if (!connection_.hasAhead() && at) planAsked_ = std::min(planAsked_, *at + 1);
    return data;
}

void Pop3Mailbox::remove(int number) {
    checkNumber(number);
    connection_.command("DELE " + std::to_string(number));
}

void Pop3Mailbox::close() noexcept {
    if (closed_) return;
    closed_ = true;
    connection_.quit();
    connection_.close();
}

}  // namespace korv::mail
