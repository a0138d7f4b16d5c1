#pragma once

#include <curl/curl.h>

// The libcurl functions that the HTTP client uses, found in the library when the first
// download needs it rather than by the dynamic linker at start-up. Linked in, libcurl brings
// some thirty libraries into every start, among them TLS libraries whose constructors set
// themselves up at load; the silent start at each login, which mostly ends after reading the
// schedule, would pay for all of that and use none of it.
struct CurlLibrary {
    decltype(&curl_version_info) version_info;
    decltype(&curl_easy_init) easy_init;
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
    decltype(&curl_easy_pause) easy_pause;
    decltype(&curl_easy_cleanup) easy_cleanup;
    decltype(&curl_multi_init) multi_init;
    CURLMcode (*multi_setopt)(CURLM*, CURLMoption, ...);
    decltype(&curl_multi_add_handle) multi_add_handle;
    decltype(&curl_multi_remove_handle) multi_remove_handle;
    decltype(&curl_multi_perform) multi_perform;
    decltype(&curl_multi_poll) multi_poll;
    decltype(&curl_multi_wakeup) multi_wakeup;
    decltype(&curl_multi_info_read) multi_info_read;
    decltype(&curl_multi_cleanup) multi_cleanup;
    decltype(&curl_share_init) share_init;
    CURLSHcode (*share_setopt)(CURLSH*, CURLSHoption, ...);
};

// Loads and initialises libcurl on the first call, from whichever thread comes first; later
// calls return the same table. Null when the library or one of its functions is missing.
const CurlLibrary* LoadCurlLibrary();

// The same table, to be changed: a test puts a function of its own in place of one of
// libcurl's, and back, while no transfer runs.
CurlLibrary* CurlLibraryForTests();
