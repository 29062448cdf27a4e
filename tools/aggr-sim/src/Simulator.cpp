#include "Impl.h"

#include "tarn/SystemTime.h"

#include <httplib.h>

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>

namespace aggrsim {

namespace {

// Cipher list for TLS 1.2 and below; TLS 1.3 keeps OpenSSL's suites.
constexpr const char* kCiphers = "HIGH:!aNULL:!MD5";
constexpr int kListenBacklog = 128;
// A TLS close the peer does not answer ends the session after this long.
constexpr int kCloseGraceMs = 5000;
// The longest a playout step is planned ahead; it is planned again then.
constexpr int64_t kMaxTimerMs = 3600 * 1000;

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return !in.bad();
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

int openDescriptors() {
    DIR* d = ::opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n - 1;  // the listing's own descriptor
}

std::string speedText(double speed) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", speed);
    return text;
}

}  // namespace

// ---- FnTask ----

void FnTask::execute() {
    auto run = std::move(run_);
    delete this;
    if (run) run();
}

void FnTask::discard() {
    auto d = std::move(discard_);
    delete this;
    if (d) d();
}

// ---- Simulator ----

Simulator::Simulator(const Options& options, Logger& log) : impl_(std::make_unique<Impl>(options, log)) {}
Simulator::~Simulator() { impl_->stop(); }
bool Simulator::start(std::string& error) { return impl_->start(error); }
void Simulator::stop() { impl_->stop(); }
bool Simulator::execute(const std::string& line) { return impl_->execute(line); }
int Simulator::tlsPort() const { return impl_->tlsPort; }
int Simulator::httpPort() const { return impl_->httpPort; }

// ---- start and stop (controlling thread) ----

Simulator::Impl::Impl(const Options& o, Logger& l) : options(o), log(l) {}

Simulator::Impl::~Impl() { stop(); }

bool Simulator::Impl::start(std::string& error) {
    if (running) return true;
    if (!loadStudios(error)) return false;
    loadPlaylists();
    if (!makeTlsContext(error) || !listenTls(error) || !listenHttp(error)) return false;
    for (const auto& p : playlists) publish(*p);
    return startThreads(error);
}

bool Simulator::Impl::loadStudios(std::string& error) {
    std::string text;
    if (!readFile(options.studios, text)) {
        error = "cannot read the studio list " + options.studios;
        return false;
    }
    std::string why;
    if (!studios.load(text, why)) {
        error = "studio list " + options.studios + ": " + why;
        return false;
    }
    DIR* dir = ::opendir(options.playlists.c_str());
    if (dir == nullptr) {
        error = "cannot read the playlists folder " + options.playlists;
        return false;
    }
    ::closedir(dir);
    return true;
}

std::vector<std::string> Simulator::Impl::playlistFiles() const {
    std::vector<std::string> files;
    DIR* dir = ::opendir(options.playlists.c_str());
    if (dir == nullptr) return files;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        struct stat st {};
        if (name[0] == '.' || ::stat((options.playlists + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        files.push_back(name);
    }
    ::closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

void Simulator::Impl::loadPlaylists() {
    std::string text;
    std::string why;
    for (const std::string& f : playlistFiles()) {
        auto entry = std::make_unique<PlaylistEntry>();
        entry->file = f;
        why = "unreadable";
        if (!readFile(options.playlists + "/" + f, text) || !entry->playlist.load(text, why)) {
            log.line("warning playlist skipped file=" + logQuoted(f) + " reason=" + logQuoted(why));
            continue;
        }
        entry->startClock = entry->playlist.clock();
        for (const Studio& s : studios.studios()) {
            if (std::find(s.playlistFiles.begin(), s.playlistFiles.end(), f) != s.playlistFiles.end() &&
                std::find(entry->studioIds.begin(), entry->studioIds.end(), s.id) == entry->studioIds.end())
                entry->studioIds.push_back(s.id);
        }
        playlists.push_back(std::move(entry));
    }
    for (const Studio& s : studios.studios()) {
        for (const std::string& f : s.playlistFiles) {
            const bool known =
                std::any_of(playlists.begin(), playlists.end(), [&](const auto& p) { return p->file == f; });
            if (!known) log.line("warning playlist missing studio=" + logQuoted(s.id) + " file=" + logQuoted(f));
        }
    }
}

bool Simulator::Impl::makeTlsContext(std::string& error) {
    const std::string& dirPath = options.certs;
    try {
        context = std::make_unique<tarn::SSLContext>(
            tarn::TarnString((dirPath + "/server.pem").c_str()), tarn::TarnString((dirPath + "/server.key").c_str()),
            tarn::TarnString(""), tarn::TarnString((dirPath + "/ca.pem").c_str()), tarn::TarnString(kCiphers), true);
    } catch (const tarn::SSLContextError& e) {
        error = "TLS context from " + dirPath +
                " (ca.pem, server.pem, server.key): " + (e.getMessage() != nullptr ? e.getMessage() : "error") + " (" +
                std::to_string(e.getCode()) + ")";
        return false;
    }
    return true;
}

bool Simulator::Impl::listenTls(std::string& error) {
    listener = std::make_unique<tarn::ListeningSocket>(tarn::InetAddr(options.bind.c_str(), options.tlsPort), this);
    if (const int r = listener->listen(kListenBacklog); r != 0) {
        error = "cannot listen on " + options.bind + ":" + std::to_string(options.tlsPort) + " (error " +
                std::to_string(r) + ")";
        listener.reset();
        return false;
    }
    tlsPort = listener->getBoundPort();
    return true;
}

bool Simulator::Impl::listenHttp(std::string& error) {
    http = std::make_unique<httplib::Server>();
    // The library's default adds SO_REUSEPORT, which would let a second
    // server share the port unnoticed.
    http->set_socket_options([](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // One request per connection: an idle kept-alive connection would have
    // a worker thread polling it for seconds.
    http->set_keep_alive_max_count(1);
    if (options.httpPort == 0) {
        httpPort = http->bind_to_any_port(options.bind);
    } else {
        httpPort = http->bind_to_port(options.bind, options.httpPort) ? options.httpPort : -1;
    }
    if (httpPort <= 0) {
        error = "cannot listen on " + options.bind + ":" + std::to_string(options.httpPort) + " for HTTP";
        http.reset();
        listener.reset();
        return false;
    }
    studioListXml = studios.render("http://" + options.publicHost() + ":" + std::to_string(httpPort));
    http->Get(R"(/playlists/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
        servePlaylist(req.matches[1].str(), res);
    });
    http->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        log.line("http method=" + logQuoted(req.method, 16) + " path=" + logQuoted(req.path, 256) +
                 " status=" + std::to_string(res.status));
    });
    return true;
}

void Simulator::Impl::servePlaylist(const std::string& file, httplib::Response& res) {
    std::string body;
    {
        std::lock_guard<std::mutex> guard(snapshotLock);
        const auto it = snapshots.find(file);
        if (it == snapshots.end()) {
            res.status = 404;
            return;
        }
        body = it->second;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_content(body, "application/xml");
}

bool Simulator::Impl::startThreads(std::string& error) {
    t0 = std::chrono::steady_clock::now();
    if (reactor.start() != 0) {
        error = "cannot start the reactor thread";
        http.reset();
        listener.reset();
        return false;
    }
    listener->attach(&reactor);
    httpThread = std::thread([this] { http->listen_after_bind(); });
    // stop() acts only on a server that runs: wait until it does.
    for (int i = 0; i < 5000 && !http->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    running = true;
    reactor.post(new FnTask([this] { reschedule(); }));
    log.line("listening tls=" + options.bind + ":" + std::to_string(tlsPort) + " http=" + options.bind + ":" +
             std::to_string(httpPort));
    return true;
}

void Simulator::Impl::stop() {
    if (!running) return;
    running = false;
    http->stop();
    if (httpThread.joinable()) httpThread.join();
    // Nothing runs on the reactor thread any more once stop() returns; the
    // end sequence deleted the sessions that had already ended.
    reactor.stop();
    if (listener) listener->detach();
    listener.reset();
    std::vector<Session*> left;
    for (const auto& [n, s] : sessions) left.push_back(s);
    for (Session* s : left) delete s;
    context.reset();
}

bool Simulator::Impl::execute(const std::string& line) {
    if (!running) return false;
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    reactor.post(new FnTask(
        [&] {
            bool ok = false;
            try {
                ok = control(line);
            } catch (const std::exception&) {
                log.line("control error reason=exception line=" + logQuoted(line));
            }
            done.set_value(ok);
        },
        [&] { done.set_value(false); }));
    return result.get();
}

// ---- sessions (reactor thread) ----

int Simulator::Impl::onAccept(tarn::SocketHandle socket, const tarn::InetAddr& peer) {
    auto* s = new Session(socket, peer, context.get(), *this, ++sessionCount);
    sessions[s->number()] = s;
    s->attach(&reactor);
    return 1;
}

void Simulator::Impl::sessionOpened(Session& s) {
    tarn::TarnString cn;
    const bool hasName = s.getPeerName(cn);
    log.line("session opened session=" + std::to_string(s.number()) + " peer=" + s.peerText() +
             " cn=" + logQuoted(hasName ? cn.c_str() : ""));
    s.sendMessage(studioListXml.data(), static_cast<int>(studioListXml.size()));
}

void Simulator::Impl::sessionGone(Session& s) {
    sessions.erase(s.number());
    log.line("session closed session=" + std::to_string(s.number()) + " peer=" + s.peerText() +
             " reason=" + s.reason());
}

void Simulator::Impl::onPayload(Session& s, std::string_view payload) {
    if (studios.hasStudio(payload)) {
        onStudioId(s, payload);
        return;
    }
    const size_t first = payload.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos && payload[first] == '<') {
        onCommand(s, payload);
        return;
    }
    onStudioId(s, payload);
}

void Simulator::Impl::onStudioId(Session& s, std::string_view id) {
    const bool known = studios.hasStudio(id);
    s.setStudio(id);
    log.line("studio id received session=" + std::to_string(s.number()) + " id=" + logQuoted(id) +
             (known ? " status=known" : " status=unknown"));
}

void Simulator::Impl::onCommand(Session& s, std::string_view payload) {
    const std::string who = "session=" + std::to_string(s.number());
    log.line("command received " + who + " length=" + std::to_string(payload.size()) +
             " payload=" + logQuoted(payload));
    Command c;
    std::string reason;
    if (!parseCommand(payload, c, reason)) {
        log.line("command ignored " + who + " reason=" + reason);
        return;
    }
    PlaylistEntry* e = findByName(c.playlist);
    if (e == nullptr) {
        log.line("command ignored " + who + " reason=unknown-playlist");
        return;
    }
    if (!e->playlist.apply(c, now(*e))) {
        log.line("command ignored " + who + " reason=unknown-event");
        return;
    }
    std::string line = "command applied " + who + " command=" + commandName(c.kind) +
                       " playlist=" + logQuoted(c.playlist) + " event=" + logQuoted(c.eventId);
    if (c.kind == Command::Kind::kChangeQuorServer) line += " quorServer=" + logQuoted(c.quorServer);
    log.line(line);
    changed({e});
}

// ---- notifications and playout (reactor thread) ----

void Simulator::Impl::notify(const char* keyword, const std::vector<std::string>& ids) {
    const int length = static_cast<int>(std::strlen(keyword));
    std::vector<std::string> done;
    for (const std::string& id : ids) {
        if (std::find(done.begin(), done.end(), id) != done.end()) continue;
        done.push_back(id);
        int sent = 0;
        for (const auto& [n, s] : sessions) {
            if (!s->hasStudio() || s->studio() != id || s->isClosing() ||
                s->getTlsState() != tarn::TlsState::kEstablished)
                continue;
            if (s->sendMessage(keyword, length) >= 0) ++sent;
        }
        log.line(std::string("notify ") + keyword + " studio=" + logQuoted(id) + " sessions=" + std::to_string(sent));
    }
}

void Simulator::Impl::publish(const PlaylistEntry& e) {
    std::string doc = e.playlist.xml();
    std::lock_guard<std::mutex> guard(snapshotLock);
    snapshots[e.file] = std::move(doc);
}

void Simulator::Impl::changed(const std::vector<PlaylistEntry*>& entries) {
    std::vector<std::string> ids;
    for (PlaylistEntry* e : entries) {
        publish(*e);
        log.line("playlist changed name=" + logQuoted(e->playlist.name()) + " file=" + logQuoted(e->file) +
                 " running=" + logQuoted(e->playlist.runningId()) + " clock=" + formatClock(e->playlist.clock()));
        ids.insert(ids.end(), e->studioIds.begin(), e->studioIds.end());
    }
    // In the order of the studio list.
    std::vector<std::string> ordered;
    for (const Studio& s : studios.studios())
        if (std::find(ids.begin(), ids.end(), s.id) != ids.end()) ordered.push_back(s.id);
    notify("Update", ordered);
    reschedule();
}

Frames Simulator::Impl::elapsedFrames() const {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return static_cast<Frames>(std::floor(seconds * options.speed * kFramesPerSecond));
}

void Simulator::Impl::onTimer() {
    timer = nullptr;
    std::vector<PlaylistEntry*> moved;
    for (const auto& p : playlists)
        if (p->playlist.catchUp(now(*p)) > 0) moved.push_back(p.get());
    if (moved.empty()) {
        reschedule();
    } else {
        changed(moved);
    }
}

void Simulator::Impl::reschedule() {
    if (timer != nullptr) {
        // Not run yet (a task that ran has cleared it): take it back.
        FnTask* old = timer;
        timer = nullptr;
        reactor.cancelScheduledTask(old);
        delete old;
    }
    if (options.speed <= 0) return;
    bool any = false;
    Frames soonest = 0;
    for (const auto& p : playlists) {
        Frames end = 0;
        if (!p->playlist.runningEnd(end)) continue;
        const Frames left = end - now(*p);
        if (!any || left < soonest) soonest = left;
        any = true;
    }
    if (!any) return;
    const double ms =
        std::ceil(static_cast<double>(std::max<Frames>(soonest, 0)) * 1000.0 / (kFramesPerSecond * options.speed)) + 1;
    tarn::SystemTime when = tarn::SystemTime::now();
    when += static_cast<int>(std::clamp<double>(ms, 1, kMaxTimerMs));
    timer = new FnTask([this] { onTimer(); });
    reactor.schedule(when, timer);
}

PlaylistEntry* Simulator::Impl::findByName(std::string_view name) {
    for (const auto& p : playlists)
        if (p->playlist.name() == name) return p.get();
    return nullptr;
}

// ---- control commands (reactor thread) ----

void Simulator::Impl::controlError(const char* reason, const std::string& line) {
    log.line(std::string("control error reason=") + reason + " line=" + logQuoted(line));
}

bool Simulator::Impl::control(const std::string& line) {
    const std::vector<std::string> w = words(line);
    if (w.empty()) return true;
    const std::string& cmd = w[0];
    if (cmd == "update") return controlUpdate(w, line);
    if (cmd == "studio") return controlStudio(w, line);
    if (cmd == "advance") return controlAdvance(w, line);
    if (cmd == "drop" || cmd == "close" || cmd == "status") {
        if (w.size() != 1) {
            controlError("bad-arguments", line);
            return false;
        }
        if (cmd == "drop") {
            dropAll();
        } else if (cmd == "close") {
            closeAll();
        } else {
            status();
        }
        return true;
    }
    controlError("unknown-command", line);
    return false;
}

bool Simulator::Impl::controlUpdate(const std::vector<std::string>& w, const std::string& line) {
    if (w.size() > 2) {
        controlError("bad-arguments", line);
        return false;
    }
    if (w.size() == 2 && !studios.hasStudio(w[1])) {
        controlError("unknown-studio", line);
        return false;
    }
    std::vector<std::string> ids;
    if (w.size() == 2) {
        ids.push_back(w[1]);
    } else {
        for (const Studio& s : studios.studios()) ids.push_back(s.id);
    }
    notify("Update", ids);
    return true;
}

bool Simulator::Impl::controlStudio(const std::vector<std::string>& w, const std::string& line) {
    if (w.size() != 3 || (w[2] != "up" && w[2] != "down")) {
        controlError("bad-arguments", line);
        return false;
    }
    if (!studios.hasStudio(w[1])) {
        controlError("unknown-studio", line);
        return false;
    }
    notify(w[2] == "up" ? "StudioConnected" : "StudioDisconnected", {w[1]});
    return true;
}

bool Simulator::Impl::controlAdvance(const std::vector<std::string>& w, const std::string& line) {
    if (w.size() > 2) {
        controlError("bad-arguments", line);
        return false;
    }
    std::vector<PlaylistEntry*> moved;
    if (w.size() == 2) {
        PlaylistEntry* e = nullptr;
        for (const auto& p : playlists)
            if (p->file == w[1]) e = p.get();
        if (e == nullptr) e = findByName(w[1]);
        if (e == nullptr) {
            controlError("unknown-playlist", line);
            return false;
        }
        if (e->playlist.advance(now(*e), true)) moved.push_back(e);
    } else {
        for (const auto& p : playlists)
            if (p->playlist.advance(now(*p), false)) moved.push_back(p.get());
    }
    if (moved.empty()) {
        log.line("advance playlists=0");
        return true;
    }
    changed(moved);
    return true;
}

void Simulator::Impl::dropAll() {
    std::vector<Session*> all;
    for (const auto& [n, s] : sessions)
        if (!s->isClosing()) all.push_back(s);
    log.line("drop sessions=" + std::to_string(all.size()));
    for (Session* s : all) s->abort("dropped");
}

void Simulator::Impl::closeAll() {
    std::vector<uint64_t> closing;
    for (const auto& [n, s] : sessions) {
        if (s->isClosing()) continue;
        closing.push_back(n);
    }
    log.line("close sessions=" + std::to_string(closing.size()));
    for (uint64_t n : closing) {
        const auto it = sessions.find(n);
        if (it == sessions.end()) continue;
        if (it->second->getTlsState() == tarn::TlsState::kEstablished) {
            it->second->closeTls();
        } else {
            it->second->abort("closed-by-server");  // nothing to close at the TLS level yet
        }
    }
    // A peer that never answers the close does not keep its session.
    tarn::SystemTime when = tarn::SystemTime::now();
    when += kCloseGraceMs;
    reactor.schedule(when, new FnTask([this, closing] {
                         for (uint64_t n : closing) {
                             const auto it = sessions.find(n);
                             if (it != sessions.end() && !it->second->isClosing())
                                 it->second->abort("closed-by-server");
                         }
                     }));
}

void Simulator::Impl::status() {
    int established = 0;
    for (const auto& [n, s] : sessions)
        if (!s->isClosing() && s->getTlsState() == tarn::TlsState::kEstablished) ++established;
    log.line("status sessions=" + std::to_string(sessions.size()) + " established=" + std::to_string(established) +
             " fds=" + std::to_string(openDescriptors()) + " speed=" + speedText(options.speed));
    for (const Studio& st : studios.studios()) {
        int n = 0;
        for (const auto& [k, s] : sessions)
            if (!s->isClosing() && s->hasStudio() && s->studio() == st.id) ++n;
        log.line("status studio id=" + logQuoted(st.id) + " name=" + logQuoted(st.name) +
                 " sessions=" + std::to_string(n));
    }
    for (const auto& p : playlists) {
        log.line("status playlist file=" + logQuoted(p->file) + " name=" + logQuoted(p->playlist.name()) +
                 " running=" + logQuoted(p->playlist.runningId()) + " clock=" + formatClock(p->playlist.clock()));
    }
    log.line("status end");
}

}  // namespace aggrsim
