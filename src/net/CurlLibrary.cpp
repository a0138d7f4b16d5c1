#include "net/CurlLibrary.h"

#include <dlfcn.h>

#include <memory>

namespace {
// The name under which every libcurl since 7.16 is installed; the development link
// ("libcurl.so") is not there on a machine without the headers.
constexpr const char* kLibraryName = "libcurl.so.4";

template <typename Function> bool Find(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

std::unique_ptr<CurlLibrary> Load() {
    // Kept loaded for the rest of the process: connections and the global state live in it.
    void* library = ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return nullptr;
    auto curl = std::make_unique<CurlLibrary>();
    decltype(&curl_global_init) globalInit = nullptr;
    const bool complete = Find(library, "curl_global_init", globalInit) &&
                          Find(library, "curl_version_info", curl->version_info) &&
                          Find(library, "curl_easy_init", curl->easy_init) &&
                          Find(library, "curl_easy_setopt", curl->easy_setopt) &&
                          Find(library, "curl_easy_getinfo", curl->easy_getinfo) &&
                          Find(library, "curl_easy_pause", curl->easy_pause) &&
                          Find(library, "curl_easy_cleanup", curl->easy_cleanup) &&
                          Find(library, "curl_multi_init", curl->multi_init) &&
                          Find(library, "curl_multi_setopt", curl->multi_setopt) &&
                          Find(library, "curl_multi_add_handle", curl->multi_add_handle) &&
                          Find(library, "curl_multi_remove_handle", curl->multi_remove_handle) &&
                          Find(library, "curl_multi_perform", curl->multi_perform) &&
                          Find(library, "curl_multi_poll", curl->multi_poll) &&
                          Find(library, "curl_multi_wakeup", curl->multi_wakeup) &&
                          Find(library, "curl_multi_info_read", curl->multi_info_read) &&
                          Find(library, "curl_multi_cleanup", curl->multi_cleanup) &&
                          Find(library, "curl_share_init", curl->share_init) &&
                          Find(library, "curl_share_setopt", curl->share_setopt);
    // curl_global_init is not safe to race with other threads; the caller's static runs this
    // exactly once.
    if (!complete || globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return nullptr;
    return curl;
}
} // namespace

const CurlLibrary* LoadCurlLibrary() {
    static const std::unique_ptr<CurlLibrary> curl = Load();
    return curl.get();
}

CurlLibrary* CurlLibraryForTests() {
    // The table itself was never const, only handed out so.
    return const_cast<CurlLibrary*>(LoadCurlLibrary());
}
