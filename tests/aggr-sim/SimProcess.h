#pragma once

// The simulated aggregation server as a separate process, for tests of its
// clients: start it with arguments, read its log lines as they come, send it
// control commands, stop it. Also the test certificates it and its clients
// use. Free of any test framework; header-only.
//
// Needs two compile definitions (the aggr_sim_testkit target sets both):
//   TALLYSCOPE_AGGR_SIM_EXE  path of the tallyscope-aggr-sim executable
//   TALLYSCOPE_MAKE_CERTS    path of scripts/make-certs (or TALLYSCOPE_SOURCE_DIR,
//                            the source tree, from which it is found)
//
// Threads: one SimProcess is driven by one thread; its reader thread only
// fills the line list. Start it from a thread that lives as long as the
// process runs (the test's main thread): the simulator is sent SIGTERM when
// the starting thread ends, so that a crashed test leaves no server behind.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if !defined(TALLYSCOPE_MAKE_CERTS) && defined(TALLYSCOPE_SOURCE_DIR)
#define TALLYSCOPE_MAKE_CERTS TALLYSCOPE_SOURCE_DIR "/scripts/make-certs"
#endif

namespace simtest {

/// The folder of test certificates made by scripts/make-certs (ca.pem,
/// server.pem/.key, client.pem/.key with pass phrase "pelmo", other-ca.pem,
/// other-client.pem/.key, ...). Made once and shared by every test process
/// of a run: ${TMPDIR:-/tmp}/tallyscope-sim-certs-<uid>-<hash of the script's
/// path>, remade when make-certs changed or the set is older than 30 days.
/// A file lock makes one process do it while the others wait. "" on failure.
inline std::string certificateDir() {
    static const std::string dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        const std::string base = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
        const std::string script = TALLYSCOPE_MAKE_CERTS;
        const std::string d = base + "/tallyscope-sim-certs-" + std::to_string(::getuid()) + "-" +
                              std::to_string(std::hash<std::string>{}(script) % 1000000007u);
        const std::string ready = d + "/.ready";
        const int lock = ::open((d + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (lock < 0) return std::string();
        if (::flock(lock, LOCK_EX) != 0) {
            ::close(lock);
            return std::string();
        }
        struct stat st {};
        struct stat sc {};
        const bool fresh = ::stat(ready.c_str(), &st) == 0 && ::stat(script.c_str(), &sc) == 0 &&
                           st.st_mtime >= sc.st_mtime && st.st_mtime > ::time(nullptr) - 30L * 24 * 3600;
        bool ok = fresh;
        if (!fresh) {
            const std::string command =
                "rm -rf '" + d + "' && '" + script + "' '" + d + "' >/dev/null && touch '" + ready + "'";
            ok = std::system(command.c_str()) == 0;
        }
        ::flock(lock, LOCK_UN);
        ::close(lock);
        return ok ? d : std::string();
    }();
    return dir;
}

/// certificateDir() + "/" + name.
inline std::string certificatePath(const std::string& name) { return certificateDir() + "/" + name; }

/// The client's built-in pass phrase for client.key and other-client.key.
constexpr const char* kClientPassPhrase = "pelmo";

/// One simulator process with its standard input and output on pipes.
class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess() { stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    /// Arguments for a test run: the test certificates and free ports,
    /// followed by `extra`.
    static std::vector<std::string> testArgs(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"--certs", certificateDir(), "--tls-port", "0", "--http-port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    /// Starts the simulator with `args` (not including the program) and
    /// waits up to timeoutMs for its "listening" line. With `stdinAtEof` its
    /// standard input is /dev/null instead of a pipe. False when it did not
    /// start or exited first (see lines() and stderrText()).
    bool start(const std::vector<std::string>& args, int timeoutMs = 20000, bool stdinAtEof = false) {
        return startProgram(TALLYSCOPE_AGGR_SIM_EXE, args, timeoutMs, stdinAtEof, true);
    }

    /// Starts the program without waiting for a "listening" line (for runs
    /// that are expected to fail). False when it could not be started.
    bool launch(const std::vector<std::string>& args, bool stdinAtEof = false) {
        return startProgram(TALLYSCOPE_AGGR_SIM_EXE, args, 0, stdinAtEof, false);
    }

    pid_t pid() const { return pid_; }
    int tlsPort() const { return tlsPort_; }
    int httpPort() const { return httpPort_; }

    /// Number of complete standard output lines so far.
    size_t lineCount() {
        std::lock_guard<std::mutex> g(m_);
        return lines_.size();
    }
    /// Lines from index `from` on.
    std::vector<std::string> lines(size_t from = 0) {
        std::lock_guard<std::mutex> g(m_);
        if (from >= lines_.size()) return {};
        return std::vector<std::string>(lines_.begin() + static_cast<long>(from), lines_.end());
    }
    /// Every line so far, joined, for failure messages.
    std::string output() {
        std::string s;
        for (const auto& l : lines()) s += l + "\n";
        return s;
    }
    /// Whether the program's standard error is also copied to ours (default
    /// true; off for runs expected to fail noisily). Set before start.
    void echoStderr(bool on) { echoStderr_ = on; }
    /// What the program wrote to standard error.
    std::string stderrText() {
        std::lock_guard<std::mutex> g(m_);
        return stderr_;
    }

    /// Waits up to timeoutMs for a line at index `from` or later for which
    /// `match` holds; its index, or -1.
    long waitForLine(const std::function<bool(const std::string&)>& match, int timeoutMs, size_t from = 0) {
        std::unique_lock<std::mutex> g(m_);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t i = from;
        for (;;) {
            for (; i < lines_.size(); ++i)
                if (match(lines_[i])) return static_cast<long>(i);
            if (readerDone_ || cv_.wait_until(g, end) == std::cv_status::timeout) {
                for (; i < lines_.size(); ++i)
                    if (match(lines_[i])) return static_cast<long>(i);
                return -1;
            }
        }
    }
    /// The same for the first line containing `needle`.
    long waitForLine(const std::string& needle, int timeoutMs, size_t from = 0) {
        return waitForLine([&](const std::string& l) { return l.find(needle) != std::string::npos; }, timeoutMs, from);
    }
    /// Lines from `from` on that contain `needle`.
    size_t countLines(const std::string& needle, size_t from = 0) {
        size_t n = 0;
        for (const auto& l : lines(from))
            if (l.find(needle) != std::string::npos) ++n;
        return n;
    }
    /// Waits until at least n lines from `from` on contain `needle`.
    bool waitForCount(const std::string& needle, size_t n, int timeoutMs, size_t from = 0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (countLines(needle, from) >= n) return true;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            std::unique_lock<std::mutex> g(m_);
            if (readerDone_) return countLines_locked(needle, from) >= n;
            cv_.wait_for(g, std::min(left, std::chrono::milliseconds(50)));
        }
    }

    /// Writes one control command line (a newline is added). False when the
    /// input is closed or the write did not finish within timeoutMs.
    bool send(const std::string& commandLine, int timeoutMs = 10000) {
        if (in_ < 0) return false;
        const std::string data = commandLine + "\n";
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(in_, data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (std::chrono::steady_clock::now() > end) return false;
            pollfd p{in_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
        return true;
    }

    /// Closes the program's standard input (it reads end of file).
    void closeStdin() {
        if (in_ >= 0) ::close(in_);
        in_ = -1;
    }

    /// Sends a signal; false when the program is not running.
    bool signal(int sig) { return pid_ > 0 && ::kill(pid_, sig) == 0; }

    /// Waits up to timeoutMs for the program to end and reaps it: its wait
    /// status, or -1 when it is still running (or was never started).
    int waitExit(int timeoutMs) {
        if (pid_ <= 0) return exited_ ? status_ : -1;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                exited_ = true;
                status_ = status;
                joinReader();
                return status;
            }
            if (r < 0 || std::chrono::steady_clock::now() > end) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    /// True while the program runs.
    bool running() {
        if (pid_ <= 0) return false;
        return waitExit(0) == -1;
    }

    /// Ends the program: "quit" (when its input is a pipe still open), then
    /// SIGTERM after timeoutMs, then SIGKILL after 5 s more; always reaped.
    /// Its wait status, or -1 when it was not started.
    int stop(int timeoutMs = 10000) {
        if (pid_ <= 0) {
            joinReader();
            closeStdin();
            return exited_ ? status_ : -1;
        }
        int status = -1;
        if (send("quit", 1000)) status = waitExit(timeoutMs);
        if (status == -1) {
            ::kill(pid_, SIGTERM);
            status = waitExit(5000);
        }
        if (status == -1) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            exited_ = true;
            status_ = status;
            joinReader();
        }
        closeStdin();
        return status;
    }

private:
    size_t countLines_locked(const std::string& needle, size_t from) {
        size_t n = 0;
        for (size_t i = from; i < lines_.size(); ++i)
            if (lines_[i].find(needle) != std::string::npos) ++n;
        return n;
    }

    bool startProgram(const std::string& exe, const std::vector<std::string>& args, int timeoutMs, bool stdinAtEof,
                      bool waitListening) {
        if (pid_ > 0) return false;
        int in[2] = {-1, -1};
        int out[2] = {-1, -1};
        int err[2] = {-1, -1};
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return false;
        if (stdinAtEof) {
            in[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        } else if (::pipe2(in, O_CLOEXEC) != 0) {
            return false;
        }
        // Everything the child needs is built before fork: after it, only
        // calls that are safe in a copy of a threaded process.
        std::vector<std::string> all = {exe};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        const pid_t child = ::fork();
        if (child == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(127);
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::close_range(3, ~0U, 0);  // no socket or pipe of this process lives on in the child
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        if (child < 0) {
            if (in[1] >= 0) ::close(in[1]);
            ::close(out[0]);
            ::close(err[0]);
            return false;
        }
        pid_ = child;
        exited_ = false;
        in_ = in[1];
        if (in_ >= 0) ::fcntl(in_, F_SETFL, O_NONBLOCK);
        {
            std::lock_guard<std::mutex> g(m_);
            lines_.clear();
            stderr_.clear();
            readerDone_ = false;
        }
        reader_ = std::thread([this, o = out[0], e = err[0]] { readLoop(o, e); });
        if (!waitListening) return true;
        const long at = waitForLine([](const std::string& l) { return l.rfind("listening ", 0) == 0; }, timeoutMs);
        if (at < 0) return false;
        const std::string l = lines()[static_cast<size_t>(at)];
        tlsPort_ = portAfter(l, "tls=");
        httpPort_ = portAfter(l, "http=");
        return tlsPort_ > 0 && httpPort_ > 0;
    }

    // The port of "key=ADDR:PORT" in a line.
    static int portAfter(const std::string& line, const std::string& key) {
        const size_t k = line.find(key);
        if (k == std::string::npos) return -1;
        const size_t end = line.find(' ', k);
        const std::string value =
            line.substr(k + key.size(), end == std::string::npos ? std::string::npos : end - k - key.size());
        const size_t colon = value.rfind(':');
        return colon == std::string::npos ? -1 : std::atoi(value.c_str() + colon + 1);
    }

    void readLoop(int out, int err) {
        std::string partial;
        char buffer[65536];
        bool outOpen = true;
        bool errOpen = true;
        while (outOpen || errOpen) {
            pollfd p[2] = {{outOpen ? out : -1, POLLIN, 0}, {errOpen ? err : -1, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (p[0].revents != 0) {
                const ssize_t n = ::read(out, buffer, sizeof buffer);
                if (n <= 0) {
                    outOpen = false;
                } else {
                    partial.append(buffer, static_cast<size_t>(n));
                    std::lock_guard<std::mutex> g(m_);
                    size_t nl;
                    while ((nl = partial.find('\n')) != std::string::npos) {
                        lines_.push_back(partial.substr(0, nl));
                        partial.erase(0, nl + 1);
                    }
                    cv_.notify_all();
                }
            }
            if (p[1].revents != 0) {
                const ssize_t n = ::read(err, buffer, sizeof buffer);
                if (n <= 0) {
                    errOpen = false;
                } else {
                    if (echoStderr_) std::fwrite(buffer, 1, static_cast<size_t>(n), stderr);
                    std::lock_guard<std::mutex> g(m_);
                    stderr_.append(buffer, static_cast<size_t>(n));
                }
            }
        }
        ::close(out);
        ::close(err);
        std::lock_guard<std::mutex> g(m_);
        if (!partial.empty()) lines_.push_back(partial);
        readerDone_ = true;
        cv_.notify_all();
    }

    void joinReader() {
        if (reader_.joinable()) reader_.join();
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    int in_ = -1;  // its standard input (write end); -1 when closed
    int tlsPort_ = -1;
    int httpPort_ = -1;
    std::thread reader_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;  // guarded by m_
    std::string stderr_;              // guarded by m_
    bool readerDone_ = false;         // guarded by m_
    bool echoStderr_ = true;          // read by the reader thread, set before it starts
};

}  // namespace simtest
