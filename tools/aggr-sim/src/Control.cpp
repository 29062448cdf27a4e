// The program around the simulator: options, start-up, scripted commands,
// control commands on standard input, and the signals that stop it.

#include "aggrsim/Log.h"
#include "aggrsim/Options.h"
#include "aggrsim/Simulator.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

namespace aggrsim {

namespace {

constexpr size_t kMaxLine = 64 * 1024;

enum class Next { kGoOn, kQuit };

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return {};
    const size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

// Runs control commands on the main thread: sleep, repeat and quit here,
// everything else by the simulator on its reactor thread.
class Control {
public:
    Control(Simulator& sim, Logger& log, int signalFd) : sim_(sim), log_(log), signalFd_(signalFd) {}

    Next run(const std::string& raw) {
        const std::string line = trim(raw);
        if (line.empty() || line[0] == '#') return Next::kGoOn;
        if (signalled(0)) return Next::kQuit;
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "quit" || cmd == "exit") return Next::kQuit;
        if (cmd == "sleep") {
            std::string arg, extra;
            in >> arg >> extra;
            char* end = nullptr;
            const double s = std::strtod(arg.c_str(), &end);
            if (arg.empty() || *end != '\0' || !extra.empty() || !std::isfinite(s) || s < 0 || s > 1e6) {
                error("bad-arguments", line);
                return Next::kGoOn;
            }
            return signalled(static_cast<int>(std::ceil(s * 1000))) ? Next::kQuit : Next::kGoOn;
        }
        if (cmd == "repeat") {
            std::string count;
            in >> count;
            std::string rest;
            std::getline(in, rest);
            rest = trim(rest);
            char* end = nullptr;
            const long n = std::strtol(count.c_str(), &end, 10);
            if (count.empty() || *end != '\0' || n < 1 || n > 1000000 || rest.empty()) {
                error("bad-arguments", line);
                return Next::kGoOn;
            }
            for (long i = 0; i < n; ++i)
                if (run(rest) == Next::kQuit) return Next::kQuit;
            return Next::kGoOn;
        }
        sim_.execute(line);
        return Next::kGoOn;
    }

    // Waits up to ms for SIGINT or SIGTERM; true when one came.
    bool signalled(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            pollfd p{signalFd_, POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            const int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            if (r > 0) return true;
            if (r == 0 || (r < 0 && errno != EINTR)) return false;
        }
    }

private:
    void error(const char* reason, const std::string& line) {
        log_.line(std::string("control error reason=") + reason + " line=" + logQuoted(line));
    }

    Simulator& sim_;
    Logger& log_;
    int signalFd_;
};

// Reads lines from standard input until quit or a signal. End of input is
// not a reason to stop: a server started with its input at end of file (in
// the background, from a script) runs until told to stop.
void controlLoop(Control& control, Logger& log, int signalFd) {
    std::string pending;
    bool input = true;
    bool skipping = false;  // the rest of an over-long line
    char buffer[4096];
    for (;;) {
        pollfd p[2] = {{signalFd, POLLIN, 0}, {input ? 0 : -1, POLLIN, 0}};
        const int r = ::poll(p, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if ((p[0].revents & POLLIN) != 0) return;
        if (!input || p[1].revents == 0) continue;
        const ssize_t n = (p[1].revents & POLLNVAL) != 0 ? 0 : ::read(0, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            input = false;
            if (!skipping && control.run(pending) == Next::kQuit) return;
            pending.clear();
            log.line("control input-closed");
            continue;
        }
        pending.append(buffer, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (skipping) {
                skipping = false;
                continue;
            }
            if (control.run(line) == Next::kQuit) return;
        }
        if (pending.size() > kMaxLine) {
            log.line("control error reason=line-too-long line=" + logQuoted(pending, 64));
            pending.clear();
            skipping = true;
        }
    }
}

}  // namespace

int runMain(int argc, const char* const* argv) {
    // Before any thread starts, so that every thread inherits the mask and
    // the two signals only arrive through the descriptor below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    const std::string program = argc > 0 ? argv[0] : "tallyscope-aggr-sim";
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::cerr << program << ": " << error << "\n" << usage(program);
        return 2;
    }
    if (options.help) {
        std::cout << usage(program) << std::flush;
        return 0;
    }
    if (options.version) {
        std::cout << versionText() << std::flush;
        return 0;
    }
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signalFd < 0) {
        std::cerr << program << ": signalfd: " << std::strerror(errno) << "\n";
        return 1;
    }

    Logger log(stdout);
    Simulator sim(options, log);
    if (!sim.start(error)) {
        std::cerr << program << ": " << error << "\n";
        ::close(signalFd);
        return 1;
    }
    Control control(sim, log, signalFd);
    bool quit = false;
    for (const std::string& cmd : options.exec) {
        if (control.run(cmd) == Next::kQuit) {
            quit = true;
            break;
        }
    }
    if (!quit) controlLoop(control, log, signalFd);
    log.line("stopping");
    sim.stop();
    log.line("stopped");
    ::close(signalFd);
    return 0;
}

}  // namespace aggrsim
