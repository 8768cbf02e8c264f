// The small text formats the program reads, picked by the first byte: INI profile, session
// file, counter file, number template, comma text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "gallery/session.h"
#include "gallery/text_routines.h"
#include "mail/mime/mime_message.h"
#include "platform/file_error.h"
#include "platform/profile.h"
#include "platform/whole_file.h"
#include "support/fake_clock.h"

using korv::fuzz::check;

namespace {

// The first line and the rest.
std::pair<std::string, std::string> firstLine(const std::string& text) {
    std::size_t eol = text.find('\n');
    if (eol == std::string::npos) return {text, ""};
    return {text.substr(0, eol), text.substr(eol + 1)};
}

// A value set and saved reads back as set, whatever else the file holds.
void profile(const korv::fuzz::Scratch& scratch, const std::string& input) {
    auto [value, content] = firstLine(input);
    const std::string path = scratch.file("korvanto.ini");
    korv::WriteStringToFile(content, path);
    korv::ProfileFile ini(path);
    std::string old;
    ini.get("KORVANTO2", "Pop3Server", old);
    ini.set("KORVANTO2", "Pop3Server", value);
    ini.set("Fuzz", "Key", value);
    ini.save();
    std::string expected = value;
    for (char& c : expected)
        if (c == '\r') c = ' ';
    if (expected.size() > korv::kProfileValueLimit - 2) return;
    korv::ProfileFile again(path);
    check(again.get("KORVANTO2", "pop3server", "-") == expected, "a value set reads back");
    check(again.get("fuzz", "KEY", "-") == expected, "a new key reads back");
}

void session(const korv::fuzz::Scratch& scratch, const std::string& input) {
    auto [account, content] = firstLine(input);
    korv::WriteStringToFile(content, scratch.file("acme.txt"));
    const korv::SessionRecord s = korv::LoadSessionFile(scratch.folder() + "/", account);
    // As the system sees them: a text ending in a lone lead byte pairs it with the delimiter.
    for (const std::string* folder : {&s.path, &s.membersdb})
        check(folder->empty() || (korv::nativePath(*folder).native().ends_with('/') &&
                                  korv::folderExists(*folder)),
              "session folders exist and end with a delimiter");
    check(s.accepthtml.empty() || korv::fileExists(s.accepthtml), "accepthtml exists");
}

// The name handed out is the template filled with the number the counter now holds.
void counter(const korv::fuzz::Scratch& scratch, const std::string& input) {
    auto [numberTemplate, content] = firstLine(input);
    const std::string counterFile = scratch.file("counter.txt");
    korv::WriteStringToFile(content, counterFile);
    korv::WriteStringToFile("", scratch.file("img05.jpg"));
    korv::test::FakeClock clock;
    std::string name = korv::NextNumberedName(clock, counterFile, numberTemplate, scratch.folder(),
                                              ".jpg", ".txt");
    if (name.empty()) return;
    std::string now = korv::ReadFileToString(counterFile);
    check(!now.empty() && now.find_first_not_of("-0123456789") == std::string::npos,
          "the counter holds just the number");
    check(name == korv::FillNumberTemplate(std::stoi(now), numberTemplate),
          "the name is the template filled with the counter's number");
}

// Only the "#" places change.
void numberTemplate(const std::string& input) {
    if (input.size() < 4) return;
    std::int32_t number;
    std::memcpy(&number, input.data(), sizeof number);
    std::string tpl = input.substr(4);
    std::string filled = korv::FillNumberTemplate(number, tpl);
    check(filled.size() == tpl.size(), "filling keeps the length");
    std::size_t changed = 0;
    for (std::size_t i = 0; i < tpl.size(); ++i)
        if (filled[i] != tpl[i]) {
            check(tpl[i] == '#', "only places change");
            ++changed;
        }
    check(changed == korv::CountNumberPlaces(tpl), "every place is filled");
}

// The names list the mail library writes parses back to the same names.
void commaText(const std::string& input) {
    auto items = korv::ReadCommaText(input);
    check(korv::ReadCommaText(korv::mail::formatNamesList(items)) == items,
          "comma text round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const korv::fuzz::Scratch scratch;
    if (size == 0) return 0;
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        switch (data[0] % 5) {
            case 0:
                profile(scratch, input);
                break;
            case 1:
                session(scratch, input);
                break;
            case 2:
                counter(scratch, input);
                break;
            case 3:
                numberTemplate(input);
                break;
            default:
                commaText(input);
                break;
        }
    } catch (const korv::FileError&) {
    } catch (const korv::ConversionError&) {
    }
    scratch.clear();
    return 0;
}
