#pragma once
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "windows/dialogs.h"

namespace korv::test {

// Records every box and answers file dialogs from a script, so no test waits for a human.
class ScriptedDialogs : public Dialogs {
  public:
    struct Shown {
        std::string kind;  // "error", "plain" or "system"
        std::string text;  // CP932
        std::string caption;
    };

    void errorBox(QWidget* owner, const std::string& text) override;
    void plainBox(QWidget* owner, const std::string& text) override;
    void systemBox(QWidget* owner, const std::string& text, const std::string& caption) override;
    std::optional<std::string> openFile(QWidget* owner, const std::string& filter,
                                        const std::string& defaultExt) override;
    std::optional<std::string> saveFile(QWidget* owner, const std::string& filter,
                                        const std::string& defaultExt) override;

    // Answers for the next file dialogs, in order; nullopt answers as a cancel. An unscripted
    // dialog fails the test and cancels.
    std::deque<std::optional<std::string>> fileAnswers;
    std::vector<Shown> shown;
    std::vector<std::string> fileDialogFilters;

    // Called while a box is "open", as a nested event loop would allow.
    std::function<void()> whileBoxOpen;
};

}  // namespace korv::test
