#include "app/sign_in.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>

#include "app/poll_once.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "settings/oauth_tokens.h"

extern char** environ;

namespace korv {

bool openInBrowser(const std::string& url) {
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((!x || !*x) && (!wayland || !*wayland)) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    pid_t pid = -1;
    std::string program = "xdg-open";
    char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
    int rc = posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    // xdg-open hands the address to the browser and ends; the browser is not ours to wait for.
    int status = 0;
    for (int i = 0; i < 50 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(100000);
    return true;
}

int RunSignIn(const std::string& programFolder, bool device, std::ostream& out, std::ostream& err) {
    auto fail = [&](const std::string& reason, int code) {
        err << cp932ToUtf8(reason) << '\n';
        return code;
    };
    try {
        const std::string folder = withTrailingDelimiter(programFolder);
        Settings settings;
        if (!fileExists(folder + "korvanto.ini"))
            return fail("INIファイルを作ってください: "_cp + folder + "korvanto.ini", kExitConfig);
        try {
            settings = LoadSettings(folder + "korvanto.ini");
        } catch (const std::exception& e) {
            return fail(e.what(), kExitConfig);
        }
        SignInPrompts prompts;
        prompts.showUrl = [&](const std::string& url) {
            out << cp932ToUtf8("ブラウザで次のアドレスを開いてサインインしてください:"_cp) << '\n'
                << url << '\n'
                << std::flush;
            openInBrowser(url);
        };
        prompts.showCode = [&](const std::string& url, const std::string& code) {
            out << cp932ToUtf8("次のアドレスを開き、コードを入力してください:"_cp) << '\n'
                << url << '\n'
                << cp932ToUtf8("コード: "_cp) << code << '\n'
                << std::flush;
        };
        std::string where = SignIn(settings, device, prompts);
        out << cp932ToUtf8("サインインしました: "_cp + settings.UserID + " (保存先: "_cp + where +
                           ")")
            << '\n';
        return kExitDone;
    } catch (const SettingsError& e) {
        return fail(e.what(), kExitConfig);
    } catch (const OAuthRefused& e) {
        return fail(e.what(), kExitLoginRefused);
    } catch (const OAuthUnreachable& e) {
        return fail(e.what(), kExitTemporary);
    } catch (const std::exception& e) {
        return fail(e.what(), kExitError);
    }
}

}  // namespace korv
