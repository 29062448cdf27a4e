#include "TlsTestUtil.h"

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace tlstest {

namespace {

// OpenSSL writes the descriptor itself, so a send to a vanished peer raises
// SIGPIPE; the programs built on the library ignore it, and so do the tests.
const bool kSigpipeIgnored = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}();

// Extra files for the tests, made with the CA of make-certs:
//   relay.pem/.key   subject /C=DE/O=Studio/CN=Relay 1, server use
//   nocn.pem/.key    subject /C=DE/O=Studio, server use
//   crl-only.pem     a CA file holding a revocation list and no certificate
//   garbage.pem      text that is no PEM at all
//   ec.key           an EC key, of another type than every certificate
const char* kExtras = R"(set -e
cd "$1"
leaf() {
  openssl req -new -newkey rsa:2048 -nodes -subj "$2" -keyout "$1.key" -out "$1.csr" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth,clientAuth\n' > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -CAserial extra.srl \
    -days 30 -sha256 -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}
leaf relay "/C=DE/O=Studio/CN=Relay 1"
leaf nocn "/C=DE/O=Studio"
mkdir -p crl && : > crl/index.txt && echo 01 > crl/crlnumber
printf '[ca]\ndefault_ca=d\n[d]\ndatabase=crl/index.txt\ncrlnumber=crl/crlnumber\ndefault_md=sha256\ndefault_crl_days=30\n' > crl/ca.cnf
openssl ca -gencrl -config crl/ca.cnf -keyfile ca.key -cert ca.pem -out crl-only.pem 2>/dev/null
echo "this is not a certificate" > garbage.pem
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.key 2>/dev/null
)";

long mtime(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_mtime) : -1;
}

// Makes the credentials unless a complete set newer than the script exists.
// Test processes run side by side, so a file lock makes one of them do it.
std::string makeCertificates() {
    const std::string dir = TARN_TLS_CERT_DIR;
    const std::string ready = dir + "/.ready";
    const int lock = ::open((dir + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
        ADD_FAILURE() << "cannot lock " << dir << ".lock";
        return dir;
    }
    if (mtime(ready) < 0 || mtime(ready) < mtime(TARN_MAKE_CERTS)) {
        const std::string extras = dir + ".extras.sh";
        FILE* f = std::fopen(extras.c_str(), "w");
        if (f != nullptr) {
            std::fputs(kExtras, f);
            std::fclose(f);
        }
        const std::string command = "rm -rf '" + dir + "' && '" TARN_MAKE_CERTS "' '" + dir + "' >/dev/null && bash '" +
                                    extras + "' '" + dir + "' && touch '" + ready + "'";
        if (f == nullptr || std::system(command.c_str()) != 0) ADD_FAILURE() << "making the certificates failed";
    }
    ::flock(lock, LOCK_UN);
    ::close(lock);
    return dir;
}

}  // namespace

const std::string& certDir() {
    static const std::string dir = makeCertificates();
    return dir;
}

std::string certPath(const char* name) { return certDir() + "/" + name; }

std::string pattern(int seed, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((seed * 131 + i * 7 + (i >> 8)) & 0xFF);
    return s;
}

std::string frame(const std::string& body) {
    const uint32_t word = htonl(static_cast<uint32_t>(body.size()));
    return std::string(reinterpret_cast<const char*>(&word), 4) + body;
}

// ---- Process ----

Process::Process(const std::vector<std::string>& args) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
    ::fcntl(in_, F_SETFL, O_NONBLOCK);
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << args[0] << ": " << std::strerror(rc);
        pid_ = -1;
    }
}

Process::~Process() {
    kill();
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
}

void Process::pump(int ms) {
    pollfd p{out_, POLLIN, 0};
    if (out_ < 0 || ::poll(&p, 1, ms) <= 0) return;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) return;
        output_.append(buffer, static_cast<size_t>(n));
    }
}

bool Process::waitForOutput(const std::string& needle, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (output_.find(needle) != std::string::npos) return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pump(static_cast<int>(std::min<long>(left, 50)));
    }
}

std::string Process::output() {
    pump(0);
    return output_;
}

bool Process::write(const std::string& data, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(in_, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() > end) return false;
        pump(0);  // the program may wait for its output to be read
        pollfd p{in_, POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
    return true;
}

void Process::closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

int Process::waitExit(int ms) {
    if (pid_ <= 0) return -1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            exited_ = true;
            return status;
        }
        if (r < 0 || std::chrono::steady_clock::now() > end) return -1;
        pump(5);
    }
}

void Process::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (waitExit(2000) != -1) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

// ---- OpensslServer ----

OpensslServer::OpensslServer(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"openssl",  "s_server",
                                     "-accept",  "127.0.0.1:0",
                                     "-cert",    certPath("server.pem"),
                                     "-key",     certPath("server.key"),
                                     "-naccept", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    process_ = std::make_unique<Process>(args);
    if (!process_->waitForOutput("ACCEPT 127.0.0.1:")) {
        ADD_FAILURE() << "s_server did not start: " << process_->output();
        return;
    }
    process_->waitForOutput("\n", 1000);
    const std::string out = process_->output();
    const size_t at = out.find("ACCEPT 127.0.0.1:");
    port_ = static_cast<uint16_t>(std::atoi(out.c_str() + at + std::strlen("ACCEPT 127.0.0.1:")));
}

// ---- Journal ----

void Journal::add(const std::string& entry) {
    std::lock_guard<std::mutex> g(m_);
    entries_.push_back(entry);
}

void Journal::message(const char* data, int length) {
    std::lock_guard<std::mutex> g(m_);
    messages_.emplace_back(data, static_cast<size_t>(length));
}

std::vector<std::string> Journal::entries() {
    std::lock_guard<std::mutex> g(m_);
    return entries_;
}

std::vector<std::string> Journal::messages() {
    std::lock_guard<std::mutex> g(m_);
    return messages_;
}

size_t Journal::messageCount() {
    std::lock_guard<std::mutex> g(m_);
    return messages_.size();
}

bool Journal::has(const std::string& entry) {
    std::lock_guard<std::mutex> g(m_);
    for (const auto& e : entries_)
        if (e == entry) return true;
    return false;
}

bool Journal::waitFor(const std::string& entry, int ms) {
    return eventually([&] { return has(entry); }, ms);
}

bool Journal::waitForMessages(size_t n, int ms) {
    return eventually([&] { return messageCount() >= n; }, ms);
}

std::string Journal::text() {
    std::lock_guard<std::mutex> g(m_);
    std::string s;
    for (const auto& e : entries_) s += (s.empty() ? "" : ",") + e;
    return s;
}

// ---- OurServer ----

OurServer::OurServer(tarn::Reactor* reactor, tarn::SSLContext* context) : reactor_(reactor), context_(context) {
    listener_ = std::make_unique<tarn::ListeningSocket>(tarn::InetAddr("127.0.0.1", 0), this);
    EXPECT_EQ(0, listener_->listen(16));
    const int port = listener_->getBoundPort();
    EXPECT_GT(port, 0);
    port_ = static_cast<uint16_t>(port);
    EXPECT_EQ(0, listener_->attach(reactor_));
}

OurServer::~OurServer() {
    reactor_->stop();  // nothing runs on the reactor thread any more
    listener_.reset();
    std::lock_guard<std::mutex> g(m_);
    for (size_t i = 0; i < sockets_.size(); ++i) {
        if (!journals_[i]->has("destroyed")) delete sockets_[i];
    }
}

int OurServer::onAccept(tarn::SocketHandle socket, const tarn::InetAddr& peer) {
    Journal* journal;
    {
        std::lock_guard<std::mutex> g(m_);
        journals_.push_back(std::make_unique<Journal>());
        journal = journals_.back().get();
    }
    auto* s = new ServerProbe(*journal, socket, peer, context_);
    if (onHandshake) s->onHandshake = [this](ServerProbe& p) { onHandshake(p); };
    s->keepOnTlsClose.store(keepOnTlsClose);
    {
        std::lock_guard<std::mutex> g(m_);
        sockets_.push_back(s);
    }
    s->attach(reactor_);
    return 1;
}

bool OurServer::waitForAccepted(size_t n, int ms) {
    return eventually(
        [&] {
            std::lock_guard<std::mutex> g(m_);
            return sockets_.size() >= n;
        },
        ms);
}

Journal& OurServer::journal(size_t i) {
    std::lock_guard<std::mutex> g(m_);
    return *journals_.at(i);
}

ServerProbe* OurServer::socket(size_t i) {
    std::lock_guard<std::mutex> g(m_);
    return sockets_.at(i);
}

// ---- PlainTlsPeer ----

namespace {

int loopbackSocket(uint16_t port, bool listen, uint16_t* bound) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listen) {
        if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 4) != 0) {
            ::close(s);
            return -1;
        }
        socklen_t len = sizeof addr;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
        if (bound != nullptr) *bound = ntohs(addr.sin_port);
        return s;
    }
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

void setTimeouts(int fd) {
    timeval tv{kWaitMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

std::unique_ptr<PlainTlsPeer> PlainTlsPeer::server(const char* cert, const char* key, Script script) {
    std::unique_ptr<PlainTlsPeer> peer(new PlainTlsPeer);
    peer->ctx_ = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_file(peer->ctx_, certPath(cert).c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(peer->ctx_, certPath(key).c_str(), SSL_FILETYPE_PEM) != 1) {
        ADD_FAILURE() << "plain server: cannot load " << cert;
    }
    peer->listener_ = loopbackSocket(0, true, &peer->port_);
    EXPECT_GE(peer->listener_, 0);
    peer->thread_ = std::thread([p = peer.get(), script] { p->run(true, script); });
    return peer;
}

std::unique_ptr<PlainTlsPeer> PlainTlsPeer::client(uint16_t port, Script script) {
    std::unique_ptr<PlainTlsPeer> peer(new PlainTlsPeer);
    peer->ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(peer->ctx_, certPath("ca.pem").c_str(), nullptr);
    peer->port_ = port;
    peer->thread_ = std::thread([p = peer.get(), script] { p->run(false, script); });
    return peer;
}

void PlainTlsPeer::run(bool isServer, Script script) {
    int fd = -1;
    if (isServer) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) == 1) fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    } else {
        fd = loopbackSocket(port_, false, nullptr);
    }
    if (fd >= 0) {
        setTimeouts(fd);
        SSL* ssl = SSL_new(ctx_);
        SSL_set_fd(ssl, fd);
        const int r = isServer ? SSL_accept(ssl) : SSL_connect(ssl);
        handshakeOk_.store(r == 1);
        if (r == 1) script(ssl);
        SSL_free(ssl);
        ::close(fd);
    }
    done_.store(true);
}

bool PlainTlsPeer::waitDone(int ms) {
    return eventually([&] { return done_.load(); }, ms);
}

PlainTlsPeer::~PlainTlsPeer() {
    if (thread_.joinable()) thread_.join();  // every call of the script has a time-out
    if (listener_ >= 0) ::close(listener_);
    SSL_CTX_free(ctx_);
}

bool readExact(SSL* ssl, std::string& out, size_t n) {
    out.assign(n, '\0');
    size_t got = 0;
    while (got < n) {
        const int r = SSL_read(ssl, out.data() + got, static_cast<int>(n - got));
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

bool writeAll(SSL* ssl, const std::string& data) {
    return SSL_write(ssl, data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size());
}

bool readFrame(SSL* ssl, std::string& body) {
    std::string prefix;
    if (!readExact(ssl, prefix, 4)) return false;
    uint32_t word = 0;
    std::memcpy(&word, prefix.data(), 4);
    return readExact(ssl, body, ntohl(word));
}

tarn::InetAddr loopback(uint16_t port) { return tarn::InetAddr("127.0.0.1", port); }

}  // namespace tlstest
