#pragma once
// The status line: a time-stamped line that collects short pieces, shown as the last line of a
// line sink (the main window's memo, or standard output), and written to the day's log on demand.
#include <string>

#include "platform/clock.h"

namespace korv {

class LineSink {
  public:
    virtual ~LineSink() = default;
    virtual void addLine(const std::string& cp932) = 0;
    virtual void replaceLastLine(const std::string& cp932) = 0;
};

inline constexpr const char* kLogBanner = "Tarnholt Korvanto Access Log";

class StatusLog {
  public:
    StatusLog(LineSink& sink, Clock& clock, std::string accountFolder);

    void BeginStatusLine();
    void AppendStatus(const std::string& cp932);
    // Appends the current line to AccountFolder/yyyymmdd/log.txt of the moment of writing.
    void WriteStatusToLog();
    // Shows and logs a whole line of an earlier pass as it stood, its time included: the line of
    // a message that pass archived but was stopped before logging.
    void WriteEarlierLine(const std::string& line);

    const std::string& StatusLine() const { return statusLine_; }
    int StatusPieceCount() const { return statusPieceCount_; }
    const DateTime& StatusTime() const { return statusTime_; }
    const std::string& AccountFolder() const { return accountFolder_; }

  private:
    LineSink& sink_;
    Clock& clock_;
    std::string accountFolder_;
    DateTime statusTime_;
    std::string statusLine_;
    int statusPieceCount_ = 0;
};

}  // namespace korv
