#include "gallery/hand_off.h"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "gallery/publish_copy.h"
#include "gallery/session.h"
#include "gallery/text_routines.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/whole_file.h"

namespace korv {
namespace {

bool isPictureExtension(const std::string& extension) {
    std::string lower = asciiLower(extension);
    return lower == ".jpg" || lower == ".jpeg" || lower == ".png" || lower == ".heic" ||
           lower == ".heif";
}

// The archive gives plain file names; anything with folder parts is not one of its files.
bool isPlainName(const std::string& name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (isLeadByte(static_cast<unsigned char>(name[i])) && i + 1 < name.size()) {
            ++i;
        } else if (name[i] == '/' || name[i] == '\\' || name[i] == ':') {
            return false;
        }
    }
    return name != "." && name != "..";
}

// The name of the attached picture; "" when there is none.
std::string chooseAttachedPicture(const std::string& attachments) {
    std::string picture;
    for (const auto& item : ReadCommaText(attachments)) {  // the last picture wins
        if (isPlainName(item) && isPictureExtension(extensionOf(item))) picture = item;
    }
    return picture;
}

std::string timeStampName(const DateTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d-%03d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.millisecond);
    return buf;
}

std::string nameFromTime(Clock& clock, const std::string& gallery, const std::string& ext) {
    const std::string base = timeStampName(clock.now());
    std::string name = base;
    for (int counter = 0; fileExists(gallery + name + ext) || fileExists(gallery + name + ".txt");
         ++counter) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%03d", counter);
        name = base + suffix;
    }
    return name;
}

// File times keep two-second steps, as the gallery's other tools expect.
void stampWithTime(const std::string& file, const DateTime& now) {
    DateTime even = now;
    even.second -= even.second % 2;
    even.millisecond = 0;
    auto sys = std::chrono::sys_seconds(std::chrono::seconds(toEpochSeconds(even)));
    std::error_code ec;
    std::filesystem::last_write_time(nativePath(file), std::chrono::file_clock::from_sys(sys), ec);
}

// Every line break, whatever its form, so that the request keeps its six lines.
std::string breaksToHtml(const std::string& text) { return replaceLineBreaks(text, "<br>"); }

// The first "#" decides; the full-width "＃" only when there is no "#" at all.
void splitBody(const std::string& body, std::string& id, std::string& story) {
    std::size_t hash = body.find('#');
    if (hash != std::string::npos) {
        id = body.substr(0, hash);
        story = body.substr(hash + 1);
        return;
    }
    const std::string wideHash = "＃"_cp;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body.compare(i, wideHash.size(), wideHash) == 0) {
            id = body.substr(0, i);
            story = body.substr(i + wideHash.size());
            return;
        }
        if (isLeadByte(static_cast<unsigned char>(body[i]))) ++i;
    }
    id.clear();
    story = body;
}

bool isKeepMetadata(const SessionRecord& session) {
    const std::string& v = session.keepmetadata;
    const std::size_t first = v.find_first_not_of(" \t");
    return first != std::string::npos &&
           v.substr(first, v.find_last_not_of(" \t") + 1 - first) == "1";
}

}  // namespace

bool MayPost(const std::string& allowFrom, const std::string& sender) {
    std::vector<std::string> allowed;
    for (auto& entry : ReadCommaText(allowFrom))
        if (!entry.empty()) allowed.push_back(asciiLower(entry));
    if (allowed.empty()) return true;
    const std::string address = asciiLower(sender);
    const std::size_t at = address.rfind('@');
    if (at == std::string::npos || at == 0) return false;
    for (const auto& entry : allowed)
        if (entry == address || (entry[0] == '@' && entry == address.substr(at))) return true;
    return false;
}

std::int64_t MaxBytes(const std::string& value) {
    std::size_t first = value.find_first_not_of(" \t");
    std::size_t last = value.find_last_not_of(" \t");
    const char* begin = value.data() + (first == std::string::npos ? value.size() : first);
    const char* end = value.data() + (last == std::string::npos ? 0 : last + 1);
    std::int64_t limit = 0;
    auto [stop, ec] = std::from_chars(begin, std::max(begin, end), limit);
    if (ec != std::errc() || stop != std::max(begin, end) || limit < 0)
        throw ConversionError("maxbytes の値「"_cp + value + "」は整数ではありません"_cp);
    return limit;
}

std::string ResolveDefaultImg(const std::string& programFolder, const std::string& setting) {
    std::string file = programFolder + setting;
    return setting.empty() || !fileExists(file) ? std::string() : file;
}

HandOffPlan PlanHandOff(const HandOffSettings& settings, Clock& clock,
                        const std::string& messageFolder, const std::string& subject,
                        const std::string& sender, const std::string& body,
                        const std::string& attachments,
                        const std::map<std::string, std::string>* attachmentBytes) {
    const std::string pictureName = chooseAttachedPicture(attachments);
    const bool attached = !pictureName.empty();
    std::string picture = attached ? messageFolder + pictureName : settings.DefaultImg;
    const std::string* pictureBytes = nullptr;
    if (attached && attachmentBytes) {
        auto it = attachmentBytes->find(pictureName);
        if (it != attachmentBytes->end()) pictureBytes = &it->second;
    }
    if (picture.empty() || subject.empty()) return {};

    auto [linkFrom, account] = SplitAt(subject, "@");
    if (linkFrom.empty() || account.empty()) return {};
    linkFrom += ".jpg";

    SessionRecord SessionSettings = LoadSessionFile(settings.SessionDB, account);
    if (SessionSettings.path.empty()) return {};
    if (!MayPost(SessionSettings.allowfrom, sender)) return {std::nullopt, " ->送信者不許可"_cp};
    PreparedPicture prepared = PreparePicture(picture, attached, isKeepMetadata(SessionSettings),
                                              settings.DefaultImg, pictureBytes);
    if (!prepared.refusal.empty()) return {std::nullopt, prepared.refusal};
    if (!SessionSettings.maxbytes.empty() && prepared.size() > MaxBytes(SessionSettings.maxbytes))
        return {std::nullopt, " ->サイズ超過"_cp};
    const std::string gallery = withTrailingDelimiter(SessionSettings.path);
    const std::string ext = prepared.extension;
    if (SessionSettings.FileNameCounter.empty())
        SessionSettings.FileNameCounter = gallery + "counter.txt";

    std::string name;
    if (!SessionSettings.FileNameTemplate.empty()) {
        name = NextNumberedName(clock, SessionSettings.FileNameCounter,
                                SessionSettings.FileNameTemplate, gallery, ext, ".txt");
    } else {
        name = nameFromTime(clock, gallery, ext);
    }
    if (name.empty())
        throw HandOffError(" ->採番失敗"_cp,
                           SessionSettings.FileNameCounter + " から名前を得られません"_cp);

    std::string id, story;
    splitBody(body, id, story);
    id = breaksToHtml(id);
    if (id.empty()) id = "unknown";
    const std::string crlf = "\r\n";
    std::string request = "<qltkeys>" + crlf + "request=link" + crlf +
                          "linkfrom=" + breaksToHtml(linkFrom) + crlf + "id=" + id + crlf +
                          "Story=" + breaksToHtml(story) + crlf + "</qltkeys>" + crlf;
    return {GalleryDelivery{prepared.file, gallery + name + ext, gallery + name + ".txt",
                            std::move(request), name + ext, std::move(prepared.content),
                            prepared.note, prepared.readFailure, account},
            ""};
}

void DeliverHandOff(const GalleryDelivery& d, Clock& clock) {
    if (!d.readFailure.empty()) throw HandOffError(" ->コピー失敗 "_cp + d.fileName, d.readFailure);
    try {
        if (d.content) {
            WriteFileReplacing(*d.content, d.pictureTarget);
        } else {
            CopyFileReplacing(d.picture, d.pictureTarget);
        }
    } catch (const FileError& e) {
        throw HandOffError(" ->コピー失敗 "_cp + d.fileName, e.what());
    }
    stampWithTime(d.pictureTarget, clock.now());
    try {
        WriteStringToFile(d.requestText, d.requestTarget);
    } catch (...) {
        // A picture without its link request would be a broken entry in the gallery.
        std::error_code ignored;
        std::filesystem::remove(nativePath(d.pictureTarget), ignored);
        throw;
    }
}

}  // namespace korv
