#include "windows/dialog_style.h"

#include "platform/codepage.h"
#include "windows/qt_text.h"

namespace korv {

QFont dialogFont() {
    QFont font;
    font.setFamilies({"MS PGothic", toQ("ＭＳ Ｐゴシック"_cp), "Noto Sans CJK JP", "sans-serif"});
    // Pixels, so the dialogs keep their layout whatever the screen's text size.
    font.setPixelSize(15);
    return font;
}

}  // namespace korv
