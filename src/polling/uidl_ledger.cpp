#include "polling/uidl_ledger.h"

#include "platform/paths.h"
#include "platform/text.h"
#include "platform/whole_file.h"

namespace korv {

UidlLedger UidlLedger::parse(const std::string& text) {
    UidlLedger ledger;
    for (const std::string& line : splitLines(text)) ledger.add(line);
    return ledger;
}

UidlLedger UidlLedger::load(const std::string& path) {
    // A link in its place is read (and refused) as the error it is, not taken for a new ledger.
    if (!fileExists(path) && !isSymbolicLink(path)) return {};
    return parse(ReadFileToString(path, Links::Refuse));
}

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

// Before ids were escaped, an 8-bit id was written as it came; a line could hold it unless it had
// a line break or a NUL.
std::string UidlLedger::legacyForm(const std::string& stored) {
    if (stored.empty() || stored[0] != ' ') return {};
    std::string raw;
    for (std::size_t i = 1; i < stored.size(); ++i) {
        if (stored[i] == '%' && i + 2 < stored.size() && hexDigit(stored[i + 1]) >= 0 &&
            hexDigit(stored[i + 2]) >= 0) {
            raw += static_cast<char>(hexDigit(stored[i + 1]) * 16 + hexDigit(stored[i + 2]));
            i += 2;
        } else {
            raw += stored[i];
        }
    }
    if (raw.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return {};
    return raw;
}

bool UidlLedger::contains(const std::string& id) const {
    if (keys_.count(id) > 0) return true;
    std::string raw = legacyForm(id);
    return !raw.empty() && keys_.count(raw) > 0;
}

void UidlLedger::record(const std::string& id, const std::string& path) {
    add(id);
    if (fileComplete_) {
        AppendStringToFile(id + "\r\n", path, Links::Refuse);
    } else {
        save(path);
        fileComplete_ = true;
    }
}

void UidlLedger::add(const std::string& id) {
    entries_.push_back(id);
    keys_.insert(id);
}

void UidlLedger::trim(const std::unordered_set<std::string>& idsOnServer, std::size_t cap) {
    if (entries_.size() <= cap) return;
    std::size_t excess = entries_.size() - cap;
    std::vector<std::string> kept;
    kept.reserve(entries_.size());
    for (auto& id : entries_) {
        if (excess > 0 && !idsOnServer.count(id)) {
            --excess;
            keys_.erase(keys_.find(id));
        } else {
            kept.push_back(std::move(id));
        }
    }
    entries_ = std::move(kept);
}

std::string UidlLedger::text() const {
    std::string out;
    for (const auto& id : entries_) {
        out += id;
        out += "\r\n";
    }
    return out;
}

void UidlLedger::save(const std::string& path) const {
    WriteStringToFile(text(), path, Links::Refuse);
}

}  // namespace korv
