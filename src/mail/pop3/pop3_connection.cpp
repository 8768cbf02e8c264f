// The POP3 conversation: addresses, status lines, multi-line replies, commands sent ahead, STLS.
#include "mail/pop3/pop3_connection.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "platform/charsets.h"
#include "platform/codepage.h"
#include "platform/text.h"

namespace korv::mail {
namespace {

bool isDigits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

bool startsWithStatus(const std::string_view line, std::string_view status) {
    return line.substr(0, status.size()) == status &&
           (line.size() == status.size() || line[status.size()] == ' ' ||
            line[status.size()] == '\t');
}

}  // namespace

const std::string& passwordNotSent() {
    static const std::string text =
        " (パスワードは送っていません。暗号化せずに送るには設定を Pop3Security=none にします)"_cp;
    return text;
}

Pop3Timeouts& pop3Timeouts() {
    static Pop3Timeouts t;
    return t;
}

Pop3Limits& pop3Limits() {
    static Pop3Limits l;
    return l;
}

ReplyBuffer::~ReplyBuffer() { release(); }

void ReplyBuffer::release() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

void ReplyBuffer::reserve(std::size_t bytes) {
    if (bytes <= capacity_) return;
    char* grown = static_cast<char*>(std::realloc(data_, bytes));
    if (!grown) throw std::bad_alloc();
    data_ = grown;
    capacity_ = bytes;
}

void ReplyBuffer::grow(std::size_t n) {
    // Doubling costs no resident memory: what is not written yet is only address space.
    reserve(std::max({size_ + n, capacity_ * 2, std::size_t{4096}}));
}

bool parsePop3Address(const std::string& server, Pop3Address& out) {
    out = Pop3Address{};
    std::string rest = server;
    std::size_t scheme = rest.find("://");
    if (scheme != std::string::npos) {
        std::string name = asciiLower(rest.substr(0, scheme));
        if (name == "pop3s") {
            out.tls = true;
            out.port = 995;
        } else if (name != "pop3" && name != "pop") {
            return false;
        }
        rest.erase(0, scheme + 3);
    }
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        std::size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        std::string after = rest.substr(close + 1);
        rest = rest.substr(1, close - 1);
        if (!after.empty()) {
            if (after[0] != ':') return false;
            port = after.substr(1);
            if (!isDigits(port)) return false;
        }
    } else if (std::size_t colon = rest.rfind(':'); colon != std::string::npos) {
        port = rest.substr(colon + 1);
        rest.erase(colon);
        if (!isDigits(port)) return false;
    }
    if (!port.empty()) {
        if (port.size() > 5) return false;
        out.port = std::atoi(port.c_str());
        out.portGiven = true;
        if (out.port < 1 || out.port > 65535) return false;
    }
    out.host = rest;
    return !out.host.empty() && out.host.find_first_of(" \t\r\n/\\@") == std::string::npos;
}

std::string serverText(std::string_view reply, std::string_view secret) {
    // Masked before the cut: a cut must not leave the first part of an echoed secret.
    std::string clean(reply);
    if (!secret.empty())
        for (std::size_t at = clean.find(secret); at != std::string::npos;
             at = clean.find(secret, at + 3))
            clean.replace(at, secret.size(), "***");
    clean.resize(std::min<std::size_t>(clean.size(), 300));
    for (char& c : clean) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return guessToCp932(clean);
}

void Pop3Connection::fail(const std::string& why, MailError::Kind kind) {
    if (!broken_ || brokenError_.empty()) {
        broken_ = true;
        brokenError_ = serverError("POP3", server_, why);
    }
    throw MailError(brokenError_, kind);
}

void Pop3Connection::open(const Pop3Address& given, const ConnectOptions& options,
                          const Pop3Timeouts& timeouts, const Pop3Limits& limits) {
    timeouts_ = timeouts;
    limits_ = limits;
    Pop3Address address = given;
    const bool implicit = options.security == Security::Implicit ||
                          (options.security == Security::Auto && address.port == 995);
    if (implicit && !address.tls) {
        address.tls = true;
        if (!address.portGiven) address.port = 995;
    }
    connectSocket(address);
    if (address.tls) startTls(address.host, options.caFile);
    beginReply();
    std::string_view line = nextLine();
    if (!startsWithStatus(line, "+OK")) fail("POP3 の挨拶ではありません: "_cp + serverText(line));
    greeting_ = std::string(line);
    if (address.tls || options.security == Security::None) return;
    upgradeWithStls(address.host, options.caFile);
}

void Pop3Connection::upgradeWithStls(const std::string& host, const std::string& caFile) {
    // Whoever sits on the path can strip STLS from the listing or refuse it: without TLS the
    // login is never sent, unless the settings allow plain text by name.
    auto refuse = [&](const std::string& why) {
        fail(why + passwordNotSent(), MailError::Kind::Insecure);
    };
    const auto& listed = capabilities();
    if (!capaRefusal_.empty())
        refuse("CAPA を拒否されました: "_cp + serverText(capaRefusal_, secret_));
    if (!findCapability(listed, "STLS")) refuse("STLS に対応していません"_cp);
    Pop3Reply stls = exchange("STLS");
    if (!stls.ok) refuse("STLS を拒否されました: "_cp + serverText(stls.status, secret_));
    // Anything the server sent before the handshake would be read as if it came through TLS.
    if (pos_ != end_) refuse("STLS の後に余分なデータがあります"_cp);
    startTls(host, caFile);
    capabilitiesKnown_ = false;
}

const std::vector<std::string>& Pop3Connection::capabilities(bool again) {
    if (capabilitiesKnown_ && !again) return capabilities_;
    capabilities_.clear();
    Pop3Reply capa = exchange("CAPA");
    capaRefusal_ = capa.ok ? std::string() : capa.status;
    if (capa.ok) {
        ReplyBuffer listing;
        readMultiline(listing);
        std::string_view rest = listing.view();
        while (!rest.empty()) {
            std::size_t end = rest.find("\r\n");
            capabilities_.emplace_back(rest.substr(0, end));
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
        }
    }
    capabilitiesKnown_ = true;
    return capabilities_;
}

std::optional<std::vector<std::string>> findCapability(const std::vector<std::string>& lines,
                                                       std::string_view tag) {
    for (const std::string& line : lines) {
        auto w = words(line);
        if (w.empty() || !equalsIgnoringCase(w[0], tag)) continue;
        return std::vector<std::string>(w.begin() + 1, w.end());
    }
    return std::nullopt;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

Pop3Reply Pop3Connection::exchange(const std::string& line) {
    if (!ahead_.empty()) {
        if (ahead_.front().line == line) {
            ahead_.pop_front();
            return readStatus();
        }
        dropAhead();
    }
    sendAll(line + "\r\n");
    return readStatus();
}

Pop3Reply Pop3Connection::saslExchange(const std::string& line) {
    if (!ahead_.empty()) dropAhead();
    sendAll(line + "\r\n");
    beginReply();
    std::string_view status = nextLine();
    if (status == "+" || status.substr(0, 2) == "+ ")
        return {false, std::string(status.substr(status.size() > 1 ? 2 : 1)), "+", true};
    for (std::string_view word : {"+OK", "-ERR"}) {
        if (!startsWithStatus(status, word)) continue;
        std::size_t skip = status.size() > word.size() ? word.size() + 1 : word.size();
        return {word[0] == '+', std::string(status.substr(skip)), std::string(status)};
    }
    fail("応答が正しくありません: "_cp + serverText(status, secret_));
}

std::string Pop3Connection::command(const std::string& line) {
    Pop3Reply reply = exchange(line);
    if (!reply.ok) throw refusal(reply);
    return std::move(reply.text);
}

MailError Pop3Connection::refusal(const Pop3Reply& reply) const {
    return MailError(serverError("POP3", server_, serverText(reply.status, secret_)),
                     MailError::Kind::Refused);
}

void Pop3Connection::sendAhead(const std::vector<std::string>& lines, bool multiline) {
    std::string data;
    for (const auto& line : lines) data += line + "\r\n";
    sendAll(data);
    for (const auto& line : lines) ahead_.push_back({line, multiline});
}

bool Pop3Connection::isAhead(const std::string& line) const {
    for (const auto& a : ahead_)
        if (a.line == line) return true;
    return false;
}

void Pop3Connection::dropAhead() {
    ReplyBuffer nothing;
    while (!ahead_.empty()) {
        Ahead a = std::move(ahead_.front());
        ahead_.pop_front();
        if (readStatus().ok && a.multiline) readMultiline(nothing, 0, Pop3Keep::Nothing);
    }
}

Pop3Reply Pop3Connection::readStatus() {
    beginReply();
    std::string_view status = nextLine();
    for (std::string_view word : {"+OK", "-ERR"}) {
        if (!startsWithStatus(status, word)) continue;
        std::size_t skip = status.size() > word.size() ? word.size() + 1 : word.size();
        return {word[0] == '+', std::string(status.substr(skip)), std::string(status)};
    }
    fail("応答が正しくありません: "_cp + serverText(status, secret_));
}

void Pop3Connection::readMultiline(ReplyBuffer& data, std::size_t sizeHint, Pop3Keep keep) {
    data.clear();
    // The hint comes from the server's listing: it saves reallocations but is not trusted with
    // more than this.
    constexpr std::size_t kMaxReserve = std::size_t{32} << 20;
    if (sizeHint > 0 && keep == Pop3Keep::All)
        data.reserve(std::min(sizeHint + sizeHint / 32 + 64, kMaxReserve));
    bool keeping = keep != Pop3Keep::Nothing;
    try {
        for (;;) {
            // Whole ordinary lines already received go in as one run; a line that needs a
            // change (a dot, a bare line feed) or is not all there yet is taken line by line.
            if (keep == Pop3Keep::All && appendOrdinaryLines(data)) continue;
            std::string_view line = nextLine();
            if (line == ".") return;
            if (!keeping) continue;
            if (!line.empty() && line[0] == '.') line.remove_prefix(1);
            if (keep == Pop3Keep::Header && line.empty()) keeping = false;
            // Mostly the line ends in CR LF in the buffer already: both go in one step.
            if (line.data()[line.size()] == '\r') {
                data.append(line.data(), line.size() + 2);
            } else {
                data.append(line.data(), line.size());
                data.append("\r\n", 2);
            }
        }
    } catch (const std::bad_alloc&) {
        // The rest of the reply is still on its way: the connection cannot go on.
        data.release();
        fail("メモリが足りません"_cp);
    } catch (const MailError&) {
        data.clear();
        throw;
    }
}

bool Pop3Connection::appendOrdinaryLines(ReplyBuffer& data) {
    const char* start = buffer_.data() + pos_;
    const char* end = buffer_.data() + end_;
    const char* p = start;
    while (p < end && *p != '.') {
        const auto* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
        if (!lf || lf == p || lf[-1] != '\r') break;
        if (static_cast<std::size_t>(lf - p) > kPop3MaxLineBytes + 1) break;  // said there
        p = lf + 1;
    }
    if (p == start) return false;
    data.append(start, p - start);
    pos_ += p - start;
    return true;
}

void Pop3Connection::quit() noexcept {
    if (broken_) return;
    try {
        exchange("QUIT");
    } catch (const std::exception&) {
        // The session ends anyway.
    }
}

}  // namespace korv::mail
