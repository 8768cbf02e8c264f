// Metadata a camera or an editor hides where a reader of the pixels never looks; the publish
// copy must find it by the file's structure alone.
#include "gallery/publish_copy.h"

#include <gtest/gtest.h>

#include "support/named_rows.h"

using namespace korv;
using namespace korv::test;

namespace {

std::string seg(char marker, const std::string& payload) {
    const std::size_t n = payload.size() + 2;
    return std::string{'\xFF', marker, static_cast<char>(n >> 8), static_cast<char>(n)} + payload;
}
const std::string soi = "\xFF\xD8", scan = seg('\xDA', "") + "pixels\xFF\xD9";

std::string chunk(const std::string& type, const std::string& data) {
    const std::size_t n = data.size();
    return std::string{0, 0, static_cast<char>(n >> 8), static_cast<char>(n)} + type + data +
           std::string(4, '\0');
}
const std::string png = "\x89PNG\r\n\x1a\n", iend = chunk("IEND", "");

// Little-endian TIFF: IFD0 with Make "KEEP" and a GPS pointer to an IFD holding "SECRET".
const std::string tiff = std::string("II*\0\x08\0\0\0\x02\0", 10) +
                         std::string("\x0F\x01\x02\0\x05\0\0\0\x26\0\0\0", 12) +
                         std::string("\x25\x88\x04\0\x01\0\0\0\x2C\0\0\0", 12) +
                         std::string(4, '\0') + std::string("KEEP\0\0", 6) +
                         std::string("\x01\0\x01\0\x02\0\x07\0\0\0\x3E\0\0\0", 14) +
                         std::string(4, '\0') + std::string("SECRET\0", 7);

struct StructureRow : NamedRow {
    std::string file;
    bool refused;      // PictureError: not published at all
    std::string kept;  // must still be in the copy
};

class PublishStructure : public testing::TestWithParam<StructureRow> {};

TEST_P(PublishStructure, LeavesNoHiddenMetadata) {
    const auto& row = GetParam();
    if (row.refused) {
        EXPECT_THROW(MakePublishCopy(row.file, ".jpg"), PictureError);
        return;
    }
    const std::string copy = MakePublishCopy(row.file, ".jpg").bytes;
    EXPECT_EQ(copy.find("SECRET"), std::string::npos);
    EXPECT_NE(copy.find(row.kept), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PublishStructure,
    testing::Values(
        StructureRow{{"ExifGpsIfdGoesMakeStays"},
                     soi + seg('\xE1', std::string("Exif\0\0", 6) + tiff) + scan,
                     false,
                     "KEEP"},
        StructureRow{{"SecondPictureAfterTheEnd"},
                     soi + scan + soi + seg('\xE1', "Exif SECRET") + scan,
                     false,
                     "pixels"},
        StructureRow{
            {"PhotoshopIptc"}, soi + seg('\xED', "Photoshop 3.0 SECRET") + scan, false, "pixels"},
        StructureRow{
            {"ExtendedXmp"},
            soi + seg('\xE1', std::string("http://ns.adobe.com/xmp/extension/\0SECRET", 41)) + scan,
            false,
            "pixels"},
        StructureRow{{"Comment"}, soi + seg('\xFE', "SECRET") + scan, false, "pixels"},
        StructureRow{{"IccProfileStays"},
                     soi + seg('\xE2', std::string("ICC_PROFILE\0\x01\x01KEEP", 18)) + scan,
                     false,
                     "KEEP"},
        StructureRow{{"SegmentRunningPastTheEnd"},
                     soi + "\xFF\xE1\x7F\xFF"
                           "SECRET",
                     true,
                     ""},
        StructureRow{{"ZeroWhereAMarkerBelongs"},
                     soi + seg('\xDA', "") + "pixels" + seg('\xFE', "") +
                         std::string("\xFF\0\0\x08SECRET", 10),
                     true,
                     ""},
        StructureRow{{"PngRawProfileText"},
                     png + chunk("tEXt", std::string("Raw profile type exif\0SECRET", 28)) +
                         chunk("iCCP", "KEEP") + iend,
                     false,
                     "KEEP"},
        StructureRow{{"PngExifGpsIfd"}, png + chunk("eXIf", tiff) + iend, false, "KEEP"},
        StructureRow{{"PngChunkAfterTheEnd"},
                     png + chunk("IDAT", "KEEP") + iend + chunk("tEXt", "SECRET"),
                     false,
                     "KEEP"},
        StructureRow{{"NoPictureInside"}, "GIF89a SECRET", true, ""}),
    byName);

}  // namespace
