#pragma once
// The copy of a message's picture that a gallery publishes: without the sender's location,
// upright, and a HEIC/HEIF picture as a JPEG. The attachment itself is never changed.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace korv {

// A picture that cannot be published; the reason is for the status line.
class PictureError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct PublishCopy {
    std::string bytes;
    std::string extension;  // the given one; for a HEIC/HEIF name that of what the copy is
    std::string note;       // for the status line when the copy is not what was asked ("" else)
};

// The publish copy of a picture's bytes, by what they hold (JPEG, PNG, HEIF); extension is the
// attachment's, in lower case. Throws PictureError when they are none of these, when a JPEG's or
// PNG's structure cannot be walked, or when a HEIF cannot be decoded.
PublishCopy MakePublishCopy(const std::string& bytes, const std::string& extension);

}  // namespace korv

namespace korv {

// What a hand-off copies to the gallery for its chosen picture.
struct PreparedPicture {
    std::string file;                    // copied as it is when there is no content
    std::optional<std::string> content;  // the publish copy
    std::string extension;               // of the gallery file, in lower case
    std::string note;                    // after the new name on the status line
    std::string refusal;                 // nothing to hand off: for the status line
    std::string readFailure;             // the picture could not be read: its copy fails
    std::int64_t size() const;           // -1 when unknown
};

// An attached picture becomes its publish copy unless keepMetadata; one that cannot be published
// gives way to the default picture (the gallery operator's own file, copied as it is), or to
// nothing with a refusal when there is none.
// bytes: the picture's, when they are in memory already.
PreparedPicture PreparePicture(const std::string& picture, bool attached, bool keepMetadata,
                               const std::string& defaultImg, const std::string* bytes = nullptr);

}  // namespace korv
