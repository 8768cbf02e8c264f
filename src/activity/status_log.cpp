#include "activity/status_log.h"

#include "platform/paths.h"
#include "platform/text.h"
#include "platform/whole_file.h"

namespace korv {

namespace {
constexpr int kPiecesPerLine = 50;
}

StatusLog::StatusLog(LineSink& sink, Clock& clock, std::string accountFolder)
    : sink_(sink), clock_(clock), accountFolder_(std::move(accountFolder)) {}

void StatusLog::BeginStatusLine() {
    statusPieceCount_ = 0;
    statusTime_ = clock_.now();
    statusLine_ = formatTimestamp(statusTime_) + " ";
    sink_.addLine(statusLine_);
}

void StatusLog::AppendStatus(const std::string& text) {
    // A line break from mail (a decoded subject, a server's words) would split the log's line.
    statusLine_ += replaceLineBreaks(text, " ");
    sink_.replaceLastLine(statusLine_);
    if (++statusPieceCount_ > kPiecesPerLine) BeginStatusLine();
}

void StatusLog::WriteEarlierLine(const std::string& line) {
    statusPieceCount_ = 0;
    statusTime_ = clock_.now();
    statusLine_ = replaceLineBreaks(line, " ");
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
