#include "app/options.h"

#include <getopt.h>

#include <cstring>

#include "platform/codepage.h"

namespace korv {
namespace {

struct QtOption {
    const char* name;
    bool takesValue;
};

// QGuiApplication's and QApplication's options (X11's -display and -geometry included).
constexpr QtOption kQtOptions[] = {
    {"-platform", true},        {"-platformpluginpath", true},
    {"-platformtheme", true},   {"-plugin", true},
    {"-qwindowgeometry", true}, {"-qwindowicon", true},
    {"-qwindowtitle", true},    {"-session", true},
    {"-style", true},           {"-stylesheet", true},
    {"-display", true},         {"-geometry", true},
    {"-reverse", false},        {"-widgetcount", false},
    {"-nograb", false},         {"-dograb", false},
    {"-sync", false},
};

const QtOption* qtOption(const std::string& arg) {
    for (const auto& o : kQtOptions) {
        std::size_t n = std::strlen(o.name);
        if (arg.compare(0, n, o.name) == 0 && (arg.size() == n || (o.takesValue && arg[n] == '=')))
            return &o;
    }
    return nullptr;
}

// Messages in CP932, as the program keeps its texts.
Options parseCp932(int argc, char** argv) {
    Options o;
    o.qtArguments.push_back(argc > 0 ? argv[0] : "korvanto");
    // getopt would read "-platform" as seven short options: Qt's go aside first.
    std::vector<char*> ours{argc > 0 ? argv[0] : const_cast<char*>("korvanto")};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            for (; i < argc; ++i) ours.push_back(argv[i]);
            break;
        }
        const QtOption* q = qtOption(arg);
        if (!q) {
            ours.push_back(argv[i]);
            continue;
        }
        o.qtArguments.push_back(arg);
        if (q->takesValue && arg.find('=') == std::string::npos) {
            if (i + 1 >= argc) {
                o.error = "オプションに値がありません: "_cp + arg;
                return o;
            }
            o.qtArguments.push_back(argv[++i]);
        }
    }
    ours.push_back(nullptr);

    enum { kHome = 1000, kPollOnce, kWatch, kSignIn, kDevice };
    static const option longOptions[] = {
        {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
        {"home", required_argument, nullptr, kHome}, {"poll-once", no_argument, nullptr, kPollOnce},
        {"watch", no_argument, nullptr, kWatch},     {"quiet", no_argument, nullptr, 'q'},
        {"verbose", no_argument, nullptr, 'v'},      {"sign-in", no_argument, nullptr, kSignIn},
        {"device", no_argument, nullptr, kDevice},   {nullptr, 0, nullptr, 0},
    };
    int count = static_cast<int>(ours.size()) - 1;
    opterr = 0;
    optind = 0;  // 0 also resets getopt's state
    bool help = false, version = false, pollOnce = false, watch = false, homeGiven = false,
         signIn = false;
    for (int c; (c = getopt_long(count, ours.data(), ":hVqv", longOptions, nullptr)) != -1;) {
        std::string seen = optind > 0 && optind <= count ? ours[optind - 1] : "";
        switch (c) {
            case 'h':
                help = true;
                break;
            case 'V':
                version = true;
                break;
            case 'q':
                o.quiet = true;
                break;
            case 'v':
                o.verbose = true;
                break;
            case kHome:
                homeGiven = true;
                o.home = optarg;
                break;
            case kPollOnce:
                pollOnce = true;
                break;
            case kWatch:
                watch = true;
                break;
            case kSignIn:
                signIn = true;
                break;
            case kDevice:
                o.device = true;
                break;
            case ':':
                o.error = "オプションに値がありません: "_cp + seen;
                return o;
            default: {
                std::string name = seen;
                if (optopt) name = {'-', static_cast<char>(optopt)};
                o.error = "不明なオプション: "_cp + name;
                return o;
            }
        }
    }
    if (optind < count) {
        o.error = "不明な引数: "_cp + ours[optind];
    } else if (pollOnce && watch) {
        o.error = "--poll-once と --watch は同時に使えません"_cp;
    } else if (signIn && (pollOnce || watch)) {
        o.error = "--sign-in はポーリングと同時に使えません"_cp;
    } else if (o.device && !signIn) {
        o.error = "--device は --sign-in と使います"_cp;
    } else if (o.quiet && o.verbose) {
        o.error = "-q と -v は同時に使えません"_cp;
    } else if (homeGiven && o.home.empty()) {
        o.error = "--home が空です"_cp;
    }
    o.mode = help       ? RunMode::Help
             : version  ? RunMode::Version
             : pollOnce ? RunMode::PollOnce
             : watch    ? RunMode::Watch
             : signIn   ? RunMode::SignIn
                        : RunMode::Window;
    return o;
}

}  // namespace

Options parseOptions(int argc, char** argv) {
    Options o = parseCp932(argc, argv);
    o.error = cp932ToUtf8(o.error);
    return o;
}

std::string usageText(const std::string& settingsPath) {
    return cp932ToUtf8(
               "使い方: korvanto [オプション] [Qtのオプション]\n"
               "POP3のメールボックスを見張り、新しいメールを保存して画像をギャラリーに渡します。\n"
               "\n"
               "  -h, --help        この説明を表示して終了\n"
               "  -V, --version     バージョンを表示して終了\n"
               "      --home DIR    データのフォルダ (設定ファイル DIR/korvanto.ini)\n"
               "      --poll-once   ウィンドウなしで一回だけポーリング\n"
               "      --watch       ウィンドウなしで設定の間隔 (Interval) ごとにポーリング;\n"
               "                    SIGTERM か SIGINT で処理中のメールの後に終了\n"
               "      --sign-in     OAuth2 でサインイン (表示されるアドレスをブラウザで開く)\n"
               "      --device      --sign-in と: ブラウザのない機械のため、別の機械で\n"
               "                    コードを入力してサインイン\n"
               "  -q, --quiet       保存も失敗もなければ何も表示しない\n"
               "  -v, --verbose     設定ファイルと次のポーリングの時刻も表示\n"
               "\n"
               "Qtのオプション (-platform X, -style X, -display X, -geometry G など) "
               "はウィンドウへ。\n"
               "終了コード: 0 完了, 1 エラー (証明書の拒否, TLS のないサーバを含む),\n"
               "  64 使い方の誤り, 75 一時的な失敗 (次のポーリングで直りうる),\n"
               "  77 ログイン拒否 (サインインのやり直しを含む), 78 設定の誤り (設定ファイルがない, "
               "Pop3Name, Pop3Security,\n"
               "  CaFile)\n"
               "設定ファイル: "_cp) +
           settingsPath + "\n";
}

}  // namespace korv
