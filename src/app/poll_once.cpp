#include "app/poll_once.h"

#include <atomic>

#include "gallery/hand_off.h"
#include "mail/mail_error.h"
#include "platform/codepage.h"
#include "platform/paths.h"

namespace korv {
namespace {

// Prints each status line once it is complete (when the next one begins, or at the end); a line
// that never got a piece is only a timestamp and is left out.
class StreamSink : public LineSink {
  public:
    StreamSink(std::ostream& out, bool hold) : out_(out), hold_(hold) {}
    void addLine(const std::string& cp932) override {
        flush();
        current_ = cp932;
        pending_ = false;
    }
    void replaceLastLine(const std::string& cp932) override {
        current_ = cp932;
        pending_ = true;
    }
    void flush() {
        if (pending_) held_ += cp932ToUtf8(current_) + '\n';
        pending_ = false;
        if (!hold_) release();
    }
    // Prints what was held back (all at once, for a quiet pass that has something to say).
    void release() {
        hold_ = false;
        if (!held_.empty()) out_ << held_ << std::flush;
        held_.clear();
    }

  private:
    std::ostream& out_;
    bool hold_;
    std::string held_;
    std::string current_;
    bool pending_ = false;
};

}  // namespace

int RunPollOnce(const std::string& programFolder, const HandOffFactory& makeHandOff,
                std::ostream& out, std::ostream& err, const PassOptions& options) {
    SystemClock clock;
    return RunPollOnce(programFolder, makeHandOff, out, err, clock, options);
}

int RunPollOnce(const std::string& programFolder, const HandOffFactory& makeHandOff,
                std::ostream& out, std::ostream& err, Clock& clock, const PassOptions& options) {
    StreamSink sink(out, options.quiet);
    auto fail = [&](const std::string& reason, int code) {
        sink.flush();
        sink.release();
        err << cp932ToUtf8(reason) << '\n';
        return code;
    };
    try {
        const std::string folder = withTrailingDelimiter(programFolder);
        Settings settings;
        try {
            settings = LoadSettings(folder + "korvanto.ini");
        } catch (const std::exception& e) {
            return fail(e.what(), kExitConfig);
        }
        if (!HasPop3Account(settings))
            return fail("INIファイルを作ってください: "_cp + folder + "korvanto.ini", kExitConfig);
        const std::string accountFolder = folder + "DefaultAccount" + kPathDelimiter;
        ensureFolders(accountFolder);
        std::string defaultImg = ResolveDefaultImg(folder, settings.DefaultImg);

        StatusLog status(sink, clock, accountFolder);
        status.BeginStatusLine();
        std::unique_ptr<HandOff> handOff =
            makeHandOff ? makeHandOff(settings, status, clock, defaultImg) : nullptr;
        PollContext ctx{settings, accountFolder, status, clock, handOff.get()};
        ctx.stopRequested = options.stopRequested;
        ctx.pacing = options.pacing;
        PollResult result = PollMailbox(ctx);
        switch (result.outcome) {
            case PollOutcome::Done:
                sink.flush();
                if (result.counts.archived > 0 || result.counts.held > 0) sink.release();
                return kExitDone;
            case PollOutcome::Busy:
            case PollOutcome::Unreachable:
            case PollOutcome::TryLater:
                return fail(result.reason, kExitTemporary);
            case PollOutcome::LoginRefused:
                return fail(result.reason, kExitLoginRefused);
            case PollOutcome::ServerFault:
            case PollOutcome::NotConnected:
                return fail(result.reason, kExitError);
        }
        return kExitError;
    } catch (const mail::MailError& e) {
        // A connection that broke in the middle of the pass; the next poll may go through.
        return fail(e.what(),
                    e.kind() == mail::MailError::Kind::Broken ? kExitTemporary : kExitError);
    } catch (const SettingsError& e) {
        return fail(e.what(), kExitConfig);
    } catch (const std::exception& e) {
        return fail(e.what(), kExitError);
    }
}

}  // namespace korv
