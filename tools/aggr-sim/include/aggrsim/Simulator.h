#pragma once

#include "aggrsim/Log.h"
#include "aggrsim/Options.h"

#include <memory>
#include <string>

namespace aggrsim {

/// The simulated aggregation server: TLS sessions on a tarn reactor
/// (listening socket, accept handler, TLS sockets with client certificates
/// required), the playlists over HTTP, and the simulated playout.
///
/// Threads: one reactor thread owns the sessions, the playlists and the
/// playout; the HTTP server's threads read published copies of the playlist
/// documents. start(), stop() and execute() are called from one controlling
/// thread, never from the reactor thread.
class Simulator {
public:
    /// `log` is not owned and must outlive the simulator.
    Simulator(const Options& options, Logger& log);
    /// Stops what runs.
    ~Simulator();

    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    /// Loads the studio list and the playlists, builds the TLS context, binds
    /// both ports, starts the reactor and the HTTP server and logs the
    /// "listening" line. False, with a one-line reason in `error`, when any
    /// step fails; nothing then runs.
    bool start(std::string& error);
    /// Stops the HTTP server and the reactor and ends every session (their
    /// transports are closed without a TLS close). Idempotent.
    void stop();

    /// Runs one control command (update, studio, advance, drop, close,
    /// status) on the reactor thread and waits for it. False when the command
    /// is unknown or its arguments are bad (a "control error" line says why)
    /// or the simulator is not running.
    bool execute(const std::string& line);

    /// The bound ports, once started.
    int tlsPort() const;
    int httpPort() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

/// The whole program: options, start-up, scripted commands, then control
/// commands from standard input until "quit", SIGINT or SIGTERM. The exit
/// code: 0 after a clean stop, 1 when start-up fails, 2 for bad options.
int runMain(int argc, const char* const* argv);

}  // namespace aggrsim
