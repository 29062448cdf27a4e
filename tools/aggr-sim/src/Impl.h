#pragma once

// Private: the simulator's parts on the reactor thread and the session class.

#include "aggrsim/Playlist.h"
#include "aggrsim/Simulator.h"
#include "aggrsim/StudioList.h"

#include "tarn/ListeningSocket.h"
#include "tarn/Reactor.h"
#include "tarn/SSLContext.h"
#include "tarn/SSLSockets.h"
#include "tarn/Task.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Response;
}  // namespace httplib

namespace aggrsim {

/// A task that runs a function once and then deletes itself; `onDiscard`
/// runs instead when the reactor drops it. Owned by itself once posted or
/// scheduled; runs on the reactor thread (a discard at post time on the
/// poster's).
class FnTask final : public tarn::Task {
public:
    explicit FnTask(std::function<void()> run, std::function<void()> onDiscard = nullptr)
        : run_(std::move(run)), discard_(std::move(onDiscard)) {}
    void execute() override;
    void discard() override;

private:
    std::function<void()> run_;
    std::function<void()> discard_;
};

class Session;

/// A playlist with what the simulator knows about it.
struct PlaylistEntry {
    std::string file;  // served as /playlists/<file>
    Playlist playlist;
    Frames startClock = 0;               // the clock when loaded: simulated time 0
    std::vector<std::string> studioIds;  // the studios that list it, in list order
};

/// The simulator's state. Members marked "reactor thread" (sessions,
/// playlists, the playout timer) are touched only there while the reactor
/// runs, and by the controlling thread only before start and after stop; the
/// HTTP threads read `snapshots` under its lock.
struct Simulator::Impl : public tarn::AcceptHandler {
    Impl(const Options& o, Logger& l);
    ~Impl() override;

    // ---- controlling thread ----
    bool start(std::string& error);
    // The steps of start, in order; each fills error and undoes its own part
    // when it fails.
    bool loadStudios(std::string& error);
    std::vector<std::string> playlistFiles() const;  // regular files, sorted
    void loadPlaylists();                            // skips and logs unreadable ones
    bool makeTlsContext(std::string& error);
    bool listenTls(std::string& error);
    bool listenHttp(std::string& error);
    bool startThreads(std::string& error);
    // HTTP worker thread: the latest snapshot of file, or 404.
    void servePlaylist(const std::string& file, httplib::Response& res);
    void stop();
    bool execute(const std::string& line);

    // ---- reactor thread ----
    int onAccept(tarn::SocketHandle socket, const tarn::InetAddr& peer) override;
    void sessionOpened(Session& s);
    void sessionGone(Session& s);
    void onPayload(Session& s, std::string_view payload);
    bool control(const std::string& line);
    bool controlUpdate(const std::vector<std::string>& w, const std::string& line);
    bool controlStudio(const std::vector<std::string>& w, const std::string& line);
    bool controlAdvance(const std::vector<std::string>& w, const std::string& line);

    void onStudioId(Session& s, std::string_view id);
    void onCommand(Session& s, std::string_view payload);
    /// Sends `keyword` to the established sessions of each studio in `ids`
    /// (each once, in list order) and logs one line per studio.
    void notify(const char* keyword, const std::vector<std::string>& ids);
    /// After playlists changed: publishes their documents, logs them, sends
    /// "Update" to their studios and plans the next playout step.
    void changed(const std::vector<PlaylistEntry*>& entries);
    void onTimer();
    void reschedule();
    Frames elapsedFrames() const;
    Frames now(const PlaylistEntry& e) const { return e.startClock + elapsedFrames(); }
    PlaylistEntry* findByName(std::string_view name);
    void publish(const PlaylistEntry& e);
    void status();
    void closeAll();
    void dropAll();
    void controlError(const char* reason, const std::string& line);

    Options options;
    Logger& log;

    StudioList studios;
    std::vector<std::unique_ptr<PlaylistEntry>> playlists;  // by file name; reactor thread
    std::string studioListXml;                              // as sent after each handshake

    tarn::Reactor reactor;
    std::unique_ptr<tarn::SSLContext> context;
    std::unique_ptr<tarn::ListeningSocket> listener;
    std::map<uint64_t, Session*> sessions;  // reactor thread; each owned by itself until it ends
    uint64_t sessionCount = 0;              // reactor thread

    std::unique_ptr<httplib::Server> http;
    std::thread httpThread;
    std::mutex snapshotLock;
    std::map<std::string, std::string> snapshots;  // file -> document; guarded by snapshotLock

    std::chrono::steady_clock::time_point t0;  // simulated time 0
    FnTask* timer = nullptr;                   // the scheduled playout step, if any; reactor thread
    int tlsPort = 0;
    int httpPort = 0;
    bool running = false;  // controlling thread
};

/// One client session: a TLS socket accepted by the simulator. Ends itself on
/// a close or an error (see ConnectedSocket); its destructor tells the
/// simulator. Reactor thread only.
class Session final : public tarn::SSLConnectedSocket {
public:
    Session(tarn::SocketHandle socket, const tarn::InetAddr& peer, tarn::SSLContext* context, Simulator::Impl& sim,
            uint64_t number);
    ~Session() override;

    int handleEvents() override;
    bool onHandshakeDone() override;
    void onError(int code) override;
    void onClosed(bool graceful) override;
    void onMessage(const char* data, int length) override;
    int receiveRaw(char* buffer, int size) override;

    /// Ends the session at once; its transport is reset (no TLS close).
    void abort(const char* reason);
    /// Sends the TLS close; the session ends when the peer has answered and
    /// closed its side.
    void closeTls();

    uint64_t number() const { return number_; }
    const std::string& peerText() const { return peerText_; }
    bool opened() const { return opened_; }
    bool hasStudio() const { return hasStudio_; }
    const std::string& studio() const { return studio_; }
    void setStudio(std::string_view id) {
        studio_ = id;
        hasStudio_ = true;
    }
    const std::string& reason() const { return reason_; }
    /// Why the session ends, for its last log line; the first reason counts.
    void setReason(const std::string& reason) {
        if (reason_.empty()) reason_ = reason;
    }

private:
    // Follows the frame boundaries in the bytes received, to see the empty
    // frames that the frame reader consumes without delivering.
    void scan(const char* data, int n);
    // Delivers the empty frames that come before any frame still incomplete.
    void flushEmptyFrames();

    Simulator::Impl& sim_;
    uint64_t number_;
    std::string peerText_;
    bool opened_ = false;
    bool hasStudio_ = false;
    std::string studio_;
    std::string reason_;

    unsigned char prefix_[4] = {};
    int prefixHave_ = 0;
    int64_t bodyLeft_ = 0;
    bool overLong_ = false;
    std::deque<bool> frames_;  // frames seen, oldest first, not yet delivered: true = empty
};

}  // namespace aggrsim
