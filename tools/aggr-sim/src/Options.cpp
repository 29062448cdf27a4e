#include "aggrsim/Options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

// Set by the build from the project() version.
#ifndef TALLYSCOPE_VERSION
#error "TALLYSCOPE_VERSION is not defined"
#endif

#ifndef AGGRSIM_SAMPLES_DIR
#define AGGRSIM_SAMPLES_DIR "samples"
#endif

namespace aggrsim {

namespace {

bool parsePort(const std::string& text, int& out) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const int v = std::atoi(text.c_str());
    if (v > 65535) return false;
    out = v;
    return true;
}

bool parseSpeed(const std::string& text, double& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(v) || v < 0 || v > 1e6) return false;
    out = v;
    return true;
}

bool isDottedIpv4(const std::string& text) {
    in_addr a{};
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

}  // namespace

std::string Options::publicHost() const {
    if (!urlHost.empty()) return urlHost;
    return bind == "0.0.0.0" ? std::string("127.0.0.1") : bind;
}

std::string defaultStudiosFile() { return std::string(AGGRSIM_SAMPLES_DIR) + "/studios.xml"; }
std::string defaultPlaylistsDir() { return std::string(AGGRSIM_SAMPLES_DIR) + "/playlists"; }

namespace {

// One option that takes a value, given its value: false with error set
// when the value is not acceptable.
bool applyValueOption(const std::string& arg, const std::string& value, Options& o, std::string& error) {
    if (arg == "--tls-port" || arg == "--http-port") {
        int port = 0;
        if (!parsePort(value, port)) {
            error = arg + ": not a port number (0 to 65535): " + value;
            return false;
        }
        (arg == "--tls-port" ? o.tlsPort : o.httpPort) = port;
    } else if (arg == "--bind") {
        if (!isDottedIpv4(value)) {
            error = "--bind: not a dotted IPv4 address: " + value;
            return false;
        }
        o.bind = value;
    } else if (arg == "--speed") {
        if (!parseSpeed(value, o.speed)) {
            error = "--speed: not a number from 0 to 1000000: " + value;
            return false;
        }
    } else if (value.empty()) {
        error = arg + " needs a value";
        return false;
    } else if (arg == "--url-host") {
        o.urlHost = value;
    } else if (arg == "--certs") {
        o.certs = value;
    } else if (arg == "--studios") {
        o.studios = value;
    } else if (arg == "--playlists") {
        o.playlists = value;
    } else if (arg == "--exec") {
        o.exec.push_back(value);
    }
    return true;
}

}  // namespace

bool parseOptions(int argc, const char* const* argv, Options& out, std::string& error) {
    Options o;
    o.studios = defaultStudiosFile();
    o.playlists = defaultPlaylistsDir();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        // --name=value or --name value
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        if (arg == "--help" || arg == "-h" || arg == "--version") {
            if (inlineValue) {
                error = arg + " takes no value";
                return false;
            }
            (arg == "--version" ? o.version : o.help) = true;
            continue;
        }
        static const char* const kWithValue[] = {"--tls-port", "--http-port", "--bind",  "--url-host", "--certs",
                                                 "--studios",  "--playlists", "--speed", "--exec"};
        bool known = false;
        for (const char* k : kWithValue) known = known || arg == k;
        if (!known) {
            error = "unknown option " + arg;
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (!applyValueOption(arg, value, o, error)) return false;
    }
    if (!o.help && !o.version && o.certs.empty()) {
        error = "--certs DIR is required";
        return false;
    }
    out = std::move(o);
    return true;
}

std::string usage(const std::string& program) {
    return "Usage: " + program +
           " --certs DIR [OPTION]...\n"
           "A simulated aggregation server: TLS sessions with client certificates,\n"
           "playlists over HTTP, simulated playout, control commands on standard input.\n"
           "\n"
           "      --certs=DIR        ca.pem, server.pem and server.key (as scripts/make-certs\n"
           "                         makes them); clients must present a certificate signed\n"
           "                         by ca.pem\n"
           "      --tls-port=N       TLS port (default 9443; 0 picks a free port)\n"
           "      --http-port=N      HTTP port (default 8080; 0 picks a free port)\n"
           "      --bind=ADDR        IPv4 address to listen on (default 127.0.0.1)\n"
           "      --url-host=HOST    host written into playlist URLs (default: the bind\n"
           "                         address; 127.0.0.1 when binding 0.0.0.0)\n"
           "      --studios=FILE     studio list (default " +
           defaultStudiosFile() +
           ")\n"
           "      --playlists=DIR    playlist files (default " +
           defaultPlaylistsDir() +
           ")\n"
           "      --speed=X          simulated seconds per real second (default 1; 0 stops\n"
           "                         automatic playout, only 'advance' moves it)\n"
           "      --exec=CMD         a control command run after start-up, in order;\n"
           "                         repeatable\n"
           "  -h, --help             show this help and exit\n"
           "      --version          show version information and exit\n"
           "\n"
           "Values may also follow as the next argument (--certs DIR).\n"
           "\n"
           "Control commands (standard input, one per line, or --exec):\n"
           "  update [STUDIO]          send \"Update\" to every studio's clients, or one studio's\n"
           "  studio STUDIO up|down    send \"StudioConnected\" or \"StudioDisconnected\"\n"
           "  advance [PLAYLIST]       next event now, in every playing playlist or one\n"
           "  drop                     abort every session's connection\n"
           "  close                    close every session with a TLS close\n"
           "  status                   print sessions, studios and playlists\n"
           "  sleep SECONDS            wait before the next command\n"
           "  repeat N COMMAND         run COMMAND N times\n"
           "  quit                     stop (as do SIGINT and SIGTERM); end of input does not\n"
           "\n"
           "Exit status: 0 after a clean stop, 1 when start-up fails, 2 for a bad command\n"
           "line.\n"
           "\n"
           "Full documentation: man tallyscope-aggr-sim (tools/aggr-sim/README.md of the\n"
           "source tree too).\n";
}

std::string versionText() {
    return "tallyscope-aggr-sim " TALLYSCOPE_VERSION
           "\n"
           "Copyright (C) 2026 Corvane.\n"
           "Proprietary software: use it under your licence agreement with Corvane.\n";
}

}  // namespace aggrsim
