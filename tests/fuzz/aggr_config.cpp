// The configuration reader: ReadAggrConfigFile on a file holding the input,
// as every session start and reconnect reads it.
//
// What it reads must be what pugixml reading the same bytes gives: a file
// read only when it parses completely with one document element; the first
// AggrServer child element, its first SslCAFile, SslKeyFile and SslCfktFile
// child elements (their text) and its ip and port attributes; the port read
// like atoi. Problem() must name the first thing missing, in the documented
// order, and be empty exactly when the session can use the configuration.

#include "FuzzSupport.h"

#include "app/AggrConfig.h"
#include "external/String.h"

#include <pugixml.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// One file for the whole process, rewritten in place for every input and
// kept open: on ext4 a truncation to zero followed by a close forces the
// data to disk, which would cost milliseconds per input. It goes to a
// memory file system where there is one.
struct ConfigFile {
    std::string path;
    int fd = -1;
    ConfigFile() {
        const char* tmp = std::getenv("TMPDIR");
        const std::string folder = ::access("/dev/shm", W_OK) == 0  ? "/dev/shm"
                                   : tmp != nullptr && *tmp != '\0' ? tmp
                                                                    : "/tmp";
        std::string pattern = folder + "/tallyscope-fuzz-config-XXXXXX";
        fd = ::mkstemp(pattern.data());
        FUZZ_CHECK_MSG(fd >= 0, "cannot make a file under " + folder);
        path = pattern;
    }
    ~ConfigFile() {
        ::close(fd);
        ::unlink(path.c_str());
    }

    void write(const uint8_t* data, size_t size) const {
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            FUZZ_CHECK(n > 0);
            done += static_cast<size_t>(n);
        }
        FUZZ_CHECK(::ftruncate(fd, static_cast<off_t>(size)) == 0);
    }
};

pugi::xml_node firstElement(pugi::xml_node parent, const char* name = nullptr) {
    for (pugi::xml_node n = parent.first_child(); n; n = n.next_sibling())
        if (n.type() == pugi::node_element && (name == nullptr || std::string(n.name()) == name)) return n;
    return pugi::xml_node();
}

bool hasSecondElement(pugi::xml_node first) {
    for (pugi::xml_node n = first.next_sibling(); n; n = n.next_sibling())
        if (n.type() == pugi::node_element) return true;
    return false;
}

int number(const char* text) {
    const long v = std::strtol(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

std::string problemFor(const std::string& path, bool read, pugi::xml_node server) {
    if (path.empty()) return "no configuration path (value Config of Corvane/TarnTallyscope.conf, at most 259 bytes)";
    if (!read) return "cannot read configuration file " + path;
    if (!server) return "configuration " + path + " has no AggrServer element";
    const char* missing = nullptr;
    const pugi::xml_attribute ip = server.attribute("ip");
    const pugi::xml_attribute port = server.attribute("port");
    const pugi::xml_node cert = firstElement(server, "SslCfktFile");
    const pugi::xml_node key = firstElement(server, "SslKeyFile");
    if (!ip || *ip.value() == '\0') missing = "the ip attribute";
    else if (!port) missing = "the port attribute";
    else if (!cert || *cert.child_value() == '\0') missing = "SslCfktFile";
    else if (!key || *key.child_value() == '\0') missing = "SslKeyFile";
    else if (!firstElement(server, "SslCAFile")) missing = "SslCAFile";
    if (missing != nullptr) return "configuration " + path + " lacks " + missing;
    const int p = number(port.value());
    if (p <= 0 || p > 65535) return "configuration " + path + " has port \"" + port.value() + "\" out of range";
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ConfigFile file;
    file.write(data, size);
    const AggrConfig c = ReadAggrConfigFile(String(file.path.c_str()));

    // The same bytes read directly: a zero byte is never XML (a parse in
    // place would take an end tag cut short by one for complete).
    pugi::xml_document doc;
    auto* own = static_cast<char*>(pugi::get_memory_allocation_function()(size + 1));  // the document frees it
    FUZZ_CHECK(own != nullptr);
    if (size > 0) std::memcpy(own, data, size);
    const bool ok = doc.load_buffer_inplace_own(own, size, pugi::parse_default).status == pugi::status_ok;
    const pugi::xml_node root = firstElement(doc);
    const bool read = ok && root && !hasSecondElement(root) && (size == 0 || std::memchr(data, 0, size) == nullptr);
    const pugi::xml_node server = read ? firstElement(root, "AggrServer") : pugi::xml_node();

    FUZZ_CHECK_EQ_STR(c.path.GetString(), file.path);
    FUZZ_CHECK(c.fileRead == read);
    FUZZ_CHECK(c.hasAggrServer == static_cast<bool>(server));
    const pugi::xml_node ca = firstElement(server, "SslCAFile");
    const pugi::xml_node key = firstElement(server, "SslKeyFile");
    const pugi::xml_node cert = firstElement(server, "SslCfktFile");
    FUZZ_CHECK(c.hasCaFile == static_cast<bool>(ca));
    FUZZ_CHECK(c.hasKeyFile == static_cast<bool>(key));
    FUZZ_CHECK(c.hasCertFile == static_cast<bool>(cert));
    FUZZ_CHECK_EQ_STR(c.caFile.GetString(), ca.child_value());
    FUZZ_CHECK_EQ_STR(c.keyFile.GetString(), key.child_value());
    FUZZ_CHECK_EQ_STR(c.certFile.GetString(), cert.child_value());
    FUZZ_CHECK(c.hasPort == static_cast<bool>(server.attribute("port")));
    FUZZ_CHECK(c.hasHost == static_cast<bool>(server.attribute("ip")));
    FUZZ_CHECK_EQ_STR(c.portText.GetString(), server.attribute("port").value());
    FUZZ_CHECK_EQ_STR(c.host.GetString(), server.attribute("ip").value());
    FUZZ_CHECK(c.port == number(server.attribute("port").value()));

    const std::string problem = problemFor(file.path, read, server);
    FUZZ_CHECK_EQ_STR(c.Problem().GetString(), problem);
    FUZZ_CHECK(c.IsComplete() == problem.empty());

    // No path at all: nothing is read, and the problem says so.
    if (size == 0) {
        const AggrConfig none = ReadAggrConfigFile(String());
        FUZZ_CHECK(!none.fileRead && !none.hasAggrServer);
        FUZZ_CHECK_EQ_STR(none.Problem().GetString(), problemFor("", false, pugi::xml_node()));
    }
    return 0;
}
