#pragma once
// libcurl, loaded at the first mail sent or token asked for: with what it pulls in it is about
// half of the libraries the program would otherwise load at every start, and a poll needs none.
#include <curl/curl.h>

namespace korv {

struct CurlLibrary {
    decltype(&curl_easy_init) easyInit;
    decltype(&curl_easy_cleanup) easyCleanup;
    decltype(&curl_easy_setopt) easySetopt;
    decltype(&curl_easy_perform) easyPerform;
    decltype(&curl_easy_getinfo) easyGetinfo;
    decltype(&curl_easy_strerror) easyStrerror;
    decltype(&curl_easy_escape) easyEscape;
    decltype(&curl_free) free;
    decltype(&curl_slist_append) slistAppend;
    decltype(&curl_slist_free_all) slistFreeAll;
    decltype(&curl_url) url;
    decltype(&curl_url_cleanup) urlCleanup;
    decltype(&curl_url_set) urlSet;
    decltype(&curl_url_get) urlGet;
};

// Loaded and set up once; throws std::runtime_error naming the library when it cannot be (and
// tries again at the next call).
const CurlLibrary& curlLibrary();

}  // namespace korv
