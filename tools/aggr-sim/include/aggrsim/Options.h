#pragma once

#include <string>
#include <vector>

namespace aggrsim {

/// The simulator's settings, from the command line.
struct Options {
    std::string bind = "127.0.0.1";  // dotted IPv4; 0.0.0.0 for every interface
    std::string urlHost;             // host in playlist URLs; empty: the bind address
    int tlsPort = 9443;              // 0: any free port
    int httpPort = 8080;             // 0: any free port
    std::string certs;               // folder with ca.pem, server.pem, server.key
    std::string studios;             // studio list file
    std::string playlists;           // folder of playlist files
    double speed = 1.0;              // simulated seconds per real second; 0: no automatic playout
    std::vector<std::string> exec;   // control commands run in order after start-up
    bool help = false;
    bool version = false;

    /// The host written into playlist URLs: urlHost, else the bind address,
    /// with 0.0.0.0 written as 127.0.0.1.
    std::string publicHost() const;
};

/// The default studio list and playlists folder: the samples of the source
/// tree the program was built from.
std::string defaultStudiosFile();
std::string defaultPlaylistsDir();

/// Reads the arguments (argv[0] is skipped) into `out`, which starts from the
/// defaults. False with a one-line reason in `error` for an unknown option, a
/// missing or bad value, or no --certs (unless --help or --version).
bool parseOptions(int argc, const char* const* argv, Options& out, std::string& error);

/// The usage text (--help), naming the program as `program`.
std::string usage(const std::string& program);

/// The --version text: "tallyscope-aggr-sim VERSION" and a copyright line.
std::string versionText();

}  // namespace aggrsim
