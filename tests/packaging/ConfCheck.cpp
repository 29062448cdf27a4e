// Reads the machine settings and the station configuration of an unpacked
// package with the viewer's own code, as an Open does, and prints what it
// found:
//
//   tallyscope_conf_check ROOT
//
// ROOT/etc/xdg stands for /etc/xdg; the Config path found there is read
// under ROOT too. Exit 0 when the configuration is complete, 1 otherwise.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/AggrConfig.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ROOT\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    ::setenv("XDG_CONFIG_DIRS", (root + "/etc/xdg").c_str(), 1);
    const String path = ReadConfigPath();
    std::printf("config=%s\n", path.GetString());
    if (path.IsEmpty()) return 1;
    const AggrConfig config = ReadAggrConfigFile(String((root + path.GetString()).c_str()));
    const String problem = config.Problem();
    if (!problem.IsEmpty()) {
        std::printf("problem=%s\n", problem.GetString());
        return 1;
    }
    std::printf("server=%s:%d\ncert=%s\nkey=%s\nca=%s\n", config.host.GetString(), config.port,
                config.certFile.GetString(), config.keyFile.GetString(), config.caFile.GetString());
    return 0;
}
