#pragma once
// The ledger of unique ids already fetched (UIDL.txt): one id per line, oldest first.
#include <string>
#include <unordered_set>
#include <vector>

namespace korv {

inline constexpr std::size_t kLedgerCap = 2000;
// The ledger's file name in the account folder.
inline constexpr const char* kLedgerName = "UIDL.txt";

class UidlLedger {
  public:
    // Lines end at CR LF, a lone LF or a lone CR; a last line without an end counts, and an
    // empty line is an entry. A missing file gives an empty ledger.
    static UidlLedger load(const std::string& path);
    static UidlLedger parse(const std::string& text);

    // Byte for byte: a server may hand out ids that differ only in letter case, and it never
    // changes the case of an id, so every ledger keeps matching. Ids come in the library's
    // stored form; an escaped id (one that begins with a blank) also matches the raw bytes an
    // older ledger holds for it.
    bool contains(const std::string& id) const;
    void add(const std::string& id);
    // Adds the id and puts it into the file at once: the first time the whole ledger is saved
    // (which also ends an old file's last line), then each id is appended.
    void record(const std::string& id, const std::string& path);
    // Drops the oldest entries while more than cap remain, but never an id of a message still
    // on the server: dropping it would fetch that message again.
    void trim(const std::unordered_set<std::string>& idsOnServer, std::size_t cap = kLedgerCap);
    // Every entry followed by CR LF.
    std::string text() const;
    void save(const std::string& path) const;
    const std::vector<std::string>& entries() const { return entries_; }

    // The raw bytes an older ledger holds for an escaped id; "" when there are none.
    static std::string legacyForm(const std::string& storedId);

  private:
    bool fileComplete_ = false;  // the file holds every entry, each with its line end
    std::vector<std::string> entries_;
    std::unordered_multiset<std::string> keys_;
};

}  // namespace korv
