#pragma once
// Every message box and file dialog goes through this interface, so that windows can be driven
// by tests without a human. Texts are CP932.
#include <optional>
#include <string>

class QWidget;

namespace korv {

class Dialogs {
  public:
    virtual ~Dialogs() = default;
    // Error icon, title "エラー", one OK button.
    virtual void errorBox(QWidget* owner, const std::string& text) = 0;
    // No icon, the application's title, one OK button.
    virtual void plainBox(QWidget* owner, const std::string& text) = 0;
    // No icon, the given caption, one OK button.
    virtual void systemBox(QWidget* owner, const std::string& text, const std::string& caption) = 0;
    // Filters are in the form "テキストファイル(*.txt)|*.txt"; nullopt when cancelled.
    virtual std::optional<std::string> openFile(QWidget* owner, const std::string& filter,
                                                const std::string& defaultExt) = 0;
    // Asks before replacing an existing file, as the platform's dialog does.
    virtual std::optional<std::string> saveFile(QWidget* owner, const std::string& filter,
                                                const std::string& defaultExt) = 0;
};

class QtDialogs : public Dialogs {
  public:
    void errorBox(QWidget* owner, const std::string& text) override;
    void plainBox(QWidget* owner, const std::string& text) override;
    void systemBox(QWidget* owner, const std::string& text, const std::string& caption) override;
    std::optional<std::string> openFile(QWidget* owner, const std::string& filter,
                                        const std::string& defaultExt) override;
    std::optional<std::string> saveFile(QWidget* owner, const std::string& filter,
                                        const std::string& defaultExt) override;
};

// Runs a handler and shows any exception that leaves it in the one standard error box.
template <typename F>
void runGuarded(Dialogs& dialogs, QWidget* owner, F&& handler);

void showStandardError(Dialogs& dialogs, QWidget* owner, const std::exception& e);
void showUnknownError(Dialogs& dialogs, QWidget* owner);

template <typename F>
void runGuarded(Dialogs& dialogs, QWidget* owner, F&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        showStandardError(dialogs, owner, e);
    } catch (...) {
        showUnknownError(dialogs, owner);
    }
}

}  // namespace korv
