// The local file name of a playlist URL, the name its copy gets in the cache
// folder. Whatever the URL, the name must stay inside that folder and be a
// plain file name: only [A-Za-z0-9._-], never "", "." or "..", no '/'. It is
// the URL's last segment (after its last '/') with every other byte replaced
// by '_', or "playlist.xml"; a name that is already safe maps to itself.

#include "FuzzSupport.h"

#include "app/TallyscopeDoc.h"
#include "external/String.h"

#include <string>

namespace {

bool safe(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

std::string expected(const std::string& url) {
    const size_t slash = url.rfind('/');
    std::string name = slash == std::string::npos ? url : url.substr(slash + 1);
    for (char& c : name)
        if (!safe(c)) c = '_';
    return name.empty() || name == "." || name == ".." ? "playlist.xml" : name;
}

void checkName(const std::string& name) {
    FUZZ_CHECK(!name.empty() && name != "." && name != "..");
    for (char c : name) FUZZ_CHECK_MSG(safe(c), "\"" + fuzz::printable(name) + "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The URL reaches the rule as a C string.
    const std::string url = fuzz::cText(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string name = PlaylistLocalFileName(url.c_str()).GetString();
    checkName(name);
    FUZZ_CHECK_EQ_STR(name, expected(url));
    FUZZ_CHECK_EQ_STR(PlaylistLocalFileName(name.c_str()).GetString(), name);
    if (size == 0) FUZZ_CHECK_EQ_STR(PlaylistLocalFileName(nullptr).GetString(), "playlist.xml");
    return 0;
}
