#include "scripted_dialogs.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"

namespace korv::test {

void ScriptedDialogs::errorBox(QWidget*, const std::string& text) {
    shown.push_back({"error", text, "エラー"_cp});
    if (whileBoxOpen) whileBoxOpen();
}

void ScriptedDialogs::plainBox(QWidget*, const std::string& text) {
    shown.push_back({"plain", text, ""});
    if (whileBoxOpen) whileBoxOpen();
}

void ScriptedDialogs::systemBox(QWidget*, const std::string& text, const std::string& caption) {
    shown.push_back({"system", text, caption});
    if (whileBoxOpen) whileBoxOpen();
}

std::optional<std::string> ScriptedDialogs::openFile(QWidget*, const std::string& filter,
                                                     const std::string&) {
    fileDialogFilters.push_back(filter);
    if (fileAnswers.empty()) {
        ADD_FAILURE() << "unscripted open-file dialog";
        return std::nullopt;
    }
    auto answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

std::optional<std::string> ScriptedDialogs::saveFile(QWidget*, const std::string& filter,
                                                     const std::string&) {
    fileDialogFilters.push_back(filter);
    if (fileAnswers.empty()) {
        ADD_FAILURE() << "unscripted save-file dialog";
        return std::nullopt;
    }
    auto answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

}  // namespace korv::test
