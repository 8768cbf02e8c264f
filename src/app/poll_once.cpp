#include "app/poll_once.h"

#include "mail/maillib.h"
#include "platform/codepage.h"
#include "platform/paths.h"

namespace korv {
namespace {

// Prints each status line once it is complete (when the next one begins, or at the end); a line
// that never got a piece is only a timestamp and is left out.
class StreamSink : public LineSink {
  public:
    explicit StreamSink(std::ostream& out) : out_(out) {}
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
        if (pending_) out_ << cp932ToUtf8(current_) << '\n' << std::flush;
        pending_ = false;
    }

  private:
    std::ostream& out_;
    std::string current_;
    bool pending_ = false;
};

}  // namespace

int RunPollOnce(const std::string& programFolder, const HandOffFactory& makeHandOff,
                std::ostream& out, std::ostream& err) {
    SystemClock clock;
    return RunPollOnce(programFolder, makeHandOff, out, err, clock);
}

int RunPollOnce(const std::string& programFolder, const HandOffFactory& makeHandOff,
                std::ostream& out, std::ostream& err, Clock& clock) {
    StreamSink sink(out);
    auto fail = [&](const std::string& reason, int code) {
        sink.flush();
        err << cp932ToUtf8(reason) << '\n';
        return code;
    };
    try {
        const std::string folder = withTrailingDelimiter(programFolder);
        Settings settings = LoadSettings(folder + "korvanto.ini");
        if (!HasPop3Account(settings))
            return fail("INIファイルを作ってください: "_cp + folder + "korvanto.ini", kExitError);
        const std::string accountFolder = folder + "DefaultAccount" + kPathDelimiter;
        ensureFolders(accountFolder);
        std::string defaultImg = folder + settings.DefaultImg;
        if (settings.DefaultImg.empty() || !fileExists(defaultImg)) defaultImg.clear();

        mail::MailLibStartup();
        mail::MailLibSetOption(1, mail::kMailTextSize);
        struct Cleanup {
            ~Cleanup() { mail::MailLibCleanup(); }
        } cleanup;
        StatusLog status(sink, clock, accountFolder);
        status.BeginStatusLine();
        std::unique_ptr<HandOff> handOff =
            makeHandOff ? makeHandOff(settings, status, clock, defaultImg) : nullptr;
        PollContext ctx{settings, accountFolder, status, clock, handOff.get()};
        PollResult result = PollMailbox(ctx);
        switch (result.outcome) {
            case PollOutcome::Done:
                sink.flush();
                return kExitDone;
            case PollOutcome::Busy:
            case PollOutcome::Unreachable:
                return fail(result.reason, kExitTemporary);
            case PollOutcome::LoginRefused:
                return fail(result.reason, kExitLoginRefused);
        }
        return kExitError;
    } catch (const ConnectionLost& e) {
        return fail(e.what(), kExitTemporary);
    } catch (const std::exception& e) {
        return fail(e.what(), kExitError);
    }
}

}  // namespace korv
