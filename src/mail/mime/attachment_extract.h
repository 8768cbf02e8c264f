#pragma once
// Extraction of the attachment from saved message texts (a header block, an empty line and a
// body), also when the message was split into message/partial parts saved one by one.
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korv::mail {

struct SavedStatus {
    int status;      // 0 = whole message with an attachment, n > 0 = part n, negative = none
    std::string id;  // the split message's identifier (parts only)
};
SavedStatus savedMessageStatus(std::string_view text);

// Result values of an extraction step.
inline constexpr int kExtractDone = 1;
inline constexpr int kExtractNoAttachment = -1;
inline constexpr int kExtractCannotWrite = -5;
inline constexpr int kExtractPartsMissing = -6;

struct ExtractionOutput {
    char* subject = nullptr;
    char* date = nullptr;
    char* from = nullptr;
    char* header = nullptr;
    char* body = nullptr;
    int bodyCapacity = 0;  // bytes the body buffer holds, zero included
    char* fileName = nullptr;
};

// Collects the parts; when the set is complete the message is rebuilt and decoded into the
// folder, and the texts are written to the output buffers. A set that cannot be joined, or an
// attachment that cannot be written, throws MailError with the step's result; later steps
// return it again without a text.
class Extraction {
  public:
    Extraction(ExtractionOutput out, std::string folder) : out_(out), folder_(std::move(folder)) {}
    int add(std::string_view text);

  private:
    int finish(const std::string& rawMessage);

    ExtractionOutput out_;
    std::string folder_;
    bool done_ = false;
    int result_ = kExtractPartsMissing;
    std::string id_;
    int total_ = 0;
    std::map<int, std::string> parts_;
};

// The program's door to extraction: the saved texts handed over one at a time (each up to its
// first zero byte), the texts of the joined message kept as the library hands them out.
class SavedMessageJoin {
  public:
    explicit SavedMessageJoin(std::string folder);
    ~SavedMessageJoin();
    // The result after this text (kExtract*, or -1 for any other failure). The body has the room
    // of the first text.
    int add(std::string_view text);
    std::string fileName() const;
    std::string body() const;

  private:
    std::string folder_;
    std::vector<char> subject_, date_, from_, header_, fileName_, body_;
    std::unique_ptr<Extraction> extraction_;
};

}  // namespace korv::mail
