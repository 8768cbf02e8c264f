#pragma once
// `korvanto --sign-in [--device]`: the OAuth2 sign-in of the settings' account, without a window.
#include <ostream>
#include <string>

namespace korv {

// programFolder ends with a delimiter and holds korvanto.ini. The address to open (and with
// --device the code to type there) goes to `out`, the reason of a failure to `err` (UTF-8); the
// browser is opened when there is a desktop. Exit codes as a poll's: 0 signed in, 77 refused,
// 75 the provider could not be reached or the time ran out, 78 the settings, 1 anything else.
int RunSignIn(const std::string& programFolder, bool device, std::ostream& out, std::ostream& err);

// Opens url in the desktop's browser (xdg-open, the address as its only argument) when there is
// a desktop (DISPLAY or WAYLAND_DISPLAY); false when there is none or it cannot be started.
bool openInBrowser(const std::string& url);

}  // namespace korv
