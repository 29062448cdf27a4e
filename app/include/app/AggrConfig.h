// The configuration a session needs: the machine-wide "Config" value names an
// XML file whose first "AggrServer" element holds the server and the TLS
// files:
//
//   <Config>
//     <AggrServer ip="127.0.0.1" port="7000">
//       <SslCfktFile>/etc/tallyscope/client.pem</SslCfktFile>
//       <SslKeyFile>/etc/tallyscope/client.key</SslKeyFile>
//       <SslCAFile>/etc/tallyscope/ca.pem</SslCAFile>
//     </AggrServer>
//   </Config>
//
// Read afresh for every session start and rebuild; there are no defaults.
// Reading never fails: what is missing shows in Problem(), which the session
// reports when it starts (start-up itself never reads it). Any thread.
#pragma once

#include <cstddef>

#include "external/String.h"

// The "Config" value holds at most this many bytes with its terminator.
inline constexpr std::size_t kConfigPathBytes = 260;

struct AggrConfig {
    String path;                 // the configuration file; empty when the value is missing or too long
    bool fileRead = false;       // the file parsed completely
    bool hasAggrServer = false;  // the root has an "AggrServer" child
    // In the order they are read; each "has" flag tells whether the item
    // exists at all (an empty SslCAFile exists: no CA file is loaded).
    String caFile, keyFile, certFile;
    bool hasCaFile = false, hasKeyFile = false, hasCertFile = false;
    String portText;
    int port = 0;  // portText read with ToInt
    String host;
    bool hasPort = false, hasHost = false;

    // "" when the session can use it; otherwise one line saying what is
    // wrong ("no configuration path", "cannot read configuration file ...",
    // "configuration ... has no AggrServer", "... lacks SslKeyFile",
    // "... has port ... out of range").
    String Problem() const;
    bool IsComplete() const { return Problem().IsEmpty(); }
};

// Step 1: the path from the machine settings (organisation "Corvane",
// application "TarnTallyscope", value "Config"); empty when missing or when it
// does not fit kConfigPathBytes with its terminator.
String ReadConfigPath();

// Steps 2 and 3 for a path.
AggrConfig ReadAggrConfigFile(const String& path);

// All three steps.
AggrConfig ReadAggrConfig();
