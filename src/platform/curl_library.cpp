#include "platform/curl_library.h"

#include <stdexcept>

#include "platform/codepage.h"
#include "platform/loaded_library.h"

namespace korv {
namespace {

CurlLibrary load() {
    LoadedLibrary library("libcurl.so.4");  // the soname of libcurl 7 and 8 alike
    CurlLibrary c{};
    library.resolve("curl_easy_init", c.easyInit);
    library.resolve("curl_easy_cleanup", c.easyCleanup);
    library.resolve("curl_easy_setopt", c.easySetopt);
    library.resolve("curl_easy_perform", c.easyPerform);
    library.resolve("curl_easy_getinfo", c.easyGetinfo);
    library.resolve("curl_easy_strerror", c.easyStrerror);
    library.resolve("curl_easy_escape", c.easyEscape);
    library.resolve("curl_free", c.free);
    library.resolve("curl_slist_append", c.slistAppend);
    library.resolve("curl_slist_free_all", c.slistFreeAll);
    library.resolve("curl_url", c.url);
    library.resolve("curl_url_cleanup", c.urlCleanup);
    library.resolve("curl_url_set", c.urlSet);
    library.resolve("curl_url_get", c.urlGet);
    decltype(&curl_global_init) globalInit = nullptr;
    library.resolve("curl_global_init", globalInit);
    library.ensureComplete();
    if (globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        throw std::runtime_error("libcurl を初期化できません"_cp);
    library.keep();
    return c;
}

}  // namespace

const CurlLibrary& curlLibrary() { return loadOnce(load); }

}  // namespace korv
