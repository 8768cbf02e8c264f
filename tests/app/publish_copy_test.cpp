// What a gallery publishes after a real poll of pictures as phones send them: no location,
// upright, HEIC as JPEG; the archive keeps every attachment as it came. exiftool, an
// independent reader, judges the metadata; PIL reads the pixels.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/dovecot_server.h"
#include "support/process.h"
#include "support/programs.h"
#include "support/sample_mail.h"
#include "support/temp_dir.h"

using namespace korv::test;
namespace fs = std::filesystem;

namespace {

// Original: the attachment byte for byte; Default: the default picture as it is.
enum class Metadata { Stripped, Original, Default };

struct PublishRow {
    const char* name;
    std::string file;     // made by pictures.py (or heic_maker)
    std::string account;  // "keep" has keepmetadata=1
    std::string ext;      // of the gallery copy
    int width, height;    // of the upright scene; 0: not checked
    Metadata metadata;
    std::string status;  // a piece of the status line
};

std::string exifTags(const std::string& file) {
    return runProcess({"/usr/bin/exiftool", "-a", "-G1", "-s", "-n", file}).out;
}

// The gallery file whose link request names linkFrom.
std::string galleryCopy(const std::string& gallery, const std::string& linkFrom,
                        const std::string& ext) {
    for (const auto& e : fs::directory_iterator(gallery)) {
        if (e.path().extension() != ".txt") continue;
        if (readBytes(e.path().string()).find("linkfrom=" + linkFrom + "\r\n") == std::string::npos)
            continue;
        return fs::path(e.path()).replace_extension(ext).string();
    }
    return "";
}

std::string archived(const std::string& account, const std::string& name) {
    for (const auto& e : fs::recursive_directory_iterator(account))
        if (e.path().filename() == name) return readBytes(e.path().string());
    return "<not archived>";
}

}  // namespace

TEST(PublishCopy, TheGalleryGetsNoLocationAndUprightPicturesAndTheArchiveTheOriginals) {
    TempDir root;
    const std::string made = root.file("made/");
    fs::create_directories(made);
    const std::string source = std::getenv("KORVANTO_SOURCE_DIR");
    ASSERT_EQ(
        runProcess({"/usr/bin/python3", source + "/tests/app/pictures.py", "make", made}).exitCode,
        0);
    ASSERT_EQ(
        runProcess({HEIC_MAKER, made + "sideways.ppm", made + "shot.heic", "6", made + "exif.tiff"})
            .exitCode,
        0);
    fs::copy_file(made + "photo.jpg", made + "kept.jpg");
    std::string huge = readBytes(made + "shot.heic");  // its size boxes say 30000x30000
    for (std::size_t ispe = huge.find("ispe"); ispe != std::string::npos;
         ispe = huge.find("ispe", ispe + 1))
        huge.replace(ispe + 8, 8, std::string("\0\0\x75\x30\0\0\x75\x30", 8));
    writeBytes(made + "huge.heic", huge);

    const std::vector<PublishRow> rows = {
        {"JpegSidewaysWithGpsXmpAndMakerNote", "photo.jpg", "acme", ".jpg", 64, 48,
         Metadata::Stripped, ""},
        {"JpegSidewaysAtASizeNoLosslessTurnTakes", "odd.jpg", "acme", ".jpg", 50, 30,
         Metadata::Stripped, ""},
        {"JpegNoDecoderReadsIsStrippedUnturned", "broken.jpg", "acme", ".jpg", 0, 0,
         Metadata::Stripped, "向きを直さずに公開"},
        // A few hundred bytes that declare 3.6 billion pixels: no gigabytes for its turn.
        {"JpegDeclaringBillionsOfPixelsIsStrippedUnturned", "huge.jpg", "acme", ".jpg", 0, 0,
         Metadata::Stripped, "大きすぎるため向きを直さずに公開"},
        {"PngWithExifAndXmpChunks", "shot.png", "acme", ".png", 64, 48, Metadata::Stripped, ""},
        {"HeicStoredWithARotation", "shot.heic", "acme", ".jpg", 64, 48, Metadata::Stripped, ""},
        {"HeicThatCannotBeDecodedGivesWayToTheDefault", "bad.heic", "acme", ".png", 0, 0,
         Metadata::Default, "HEIC を JPEG に変換できません"},
        {"HeicDeclaringAGigapixelGivesWayToTheDefault", "huge.heic", "acme", ".png", 0, 0,
         Metadata::Default, "HEIC の画像が大きすぎます"},
        {"KeepMetadataHandsOnTheOriginal", "kept.jpg", "keep", ".jpg", 0, 0, Metadata::Original,
         ""},
    };

    DovecotServer server;
    const std::string home = root.file("home/");
    for (const char* account : {"acme", "keep"})
        fs::create_directories(home + "gallery/" + account);
    fs::create_directories(home + "sessions");
    writeBytes(home + "korvanto.ini",
               server.settingsText("Pop3Security=none\r\nDefaultImg=noimg.png\r\nSessionDB=" +
                                   home + "sessions/\r\n"));
    fs::copy_file(made + "noimg.png", home + "noimg.png");
    writeBytes(home + "sessions/acme.txt", "path=" + home + "gallery/acme\r\n");
    writeBytes(home + "sessions/keep.txt", "path=" + home + "gallery/keep\r\nkeepmetadata=1\r\n");
    for (const auto& row : rows)
        server.addMessage(messageWithAttachments(row.name + std::string("@") + row.account, "1#x",
                                                 {{row.file, readBytes(made + row.file)}}));

    ProcessResult run = runProcess({builtProgram("korvanto"), "--poll-once", "--home", home});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string original = readBytes(made + row.file);
        EXPECT_TRUE(archived(home + "DefaultAccount", row.file) == original);
        if (!row.status.empty()) {
            EXPECT_NE(run.out.find(row.status), std::string::npos) << run.out;
        }
        const std::string gallery = home + "gallery/" + row.account + "/";
        const std::string copy = galleryCopy(gallery, row.name + std::string(".jpg"), row.ext);
        ASSERT_TRUE(fs::exists(copy)) << copy;
        if (row.metadata == Metadata::Default) {
            EXPECT_TRUE(readBytes(copy) == readBytes(home + "noimg.png"));
            continue;
        }
        const std::string tags = exifTags(copy);
        if (row.metadata == Metadata::Original) {
            EXPECT_TRUE(readBytes(copy) == original);
            continue;
        }
        for (const char* gone : {"[GPS]", "[XMP", "MakerNote", "SerialNumber"})
            EXPECT_EQ(tags.find(gone), std::string::npos) << gone << "\n" << tags;
        for (const char* kept : {"Model", "DateTimeOriginal"})
            EXPECT_NE(tags.find(kept), std::string::npos) << kept << "\n" << tags;
        if (row.width == 0) continue;
        // The scene's top-left corner is red, the rest blue.
        std::istringstream probe(
            runProcess({"/usr/bin/python3", source + "/tests/app/pictures.py", "probe", copy}).out);
        int w = 0, h = 0, r = 0, g = 0, b = 0;
        probe >> w >> h >> r >> g >> b;
        EXPECT_EQ(w, row.width);
        EXPECT_EQ(h, row.height);
        EXPECT_TRUE(r > 200 && g < 60 && b < 60) << r << "," << g << "," << b;
        if (row.ext == ".jpg") {
            EXPECT_NE(tags.find("[IFD0]          Orientation                     : 1"),
                      std::string::npos)
                << tags;
        }
    }
}
