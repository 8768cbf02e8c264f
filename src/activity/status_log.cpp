#include "activity/status_log.h"

#include "platform/paths.h"
#include "platform/text.h"
#include "platform/whole_file.h"

namespace korv {

namespace {
constexpr int kPiecesPerLine = 50;

// A line break from mail (a decoded subject, a server's words) would split the log's line, and
// other control codes (a terminal's escape sequences) would act on the terminal or the reader
// that shows the line. Neither is ever part of a CP932 character.
std::string oneLine(const std::string& text) {
    std::string line = replaceLineBreaks(text, " ");
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return line;
}
}  // namespace

StatusLog::StatusLog(LineSink& sink, Clock& clock, std::string accountFolder)
    : sink_(sink), clock_(clock), accountFolder_(std::move(accountFolder)) {}

void StatusLog::BeginStatusLine() {
    statusPieceCount_ = 0;
    statusTime_ = clock_.now();
    statusLine_ = formatTimestamp(statusTime_) + " ";
    sink_.addLine(statusLine_);
}

void StatusLog::AppendStatus(const std::string& text) {
    statusLine_ += oneLine(text);
    sink_.replaceLastLine(statusLine_);
    if (++statusPieceCount_ > kPiecesPerLine) BeginStatusLine();
}

void StatusLog::WriteEarlierLine(const std::string& line) {
    statusPieceCount_ = 0;
    statusTime_ = clock_.now();
    statusLine_ = oneLine(line);
    sink_.addLine(statusLine_);
    WriteStatusToLog();
}

void StatusLog::WriteStatusToLog() {
    std::string folder = accountFolder_ + formatDayName(clock_.now());
    std::string path = withTrailingDelimiter(folder) + "log.txt";
    // Appended, not rewritten: a day of a thousand messages would otherwise copy the log a
    // thousand times.
    if (AppendStringToExistingFile("\r\n" + statusLine_, path, Links::Refuse)) return;
    ensureFolders(folder);
    WriteStringToFile(kLogBanner + ("\r\n" + statusLine_), path, Links::Refuse);
}

}  // namespace korv
