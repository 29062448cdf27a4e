// The simulator's command readers. The first byte of the input picks one:
//
//   0  control lines (the rest, split at '\n'), each run by a simulator that
//      serves the samples on free loopback ports, as the control loop hands
//      every line it does not run itself (sleep, repeat, quit) to
//      Simulator::execute. The result must follow the command table (update
//      [ID], studio ID up|down, advance [PLAYLIST], drop, close, status),
//      every refusal must log one "control error" line with its reason and
//      the line quoted, and no log line may carry a control or non-ASCII byte.
//   1  a viewer command built by the viewer's own formatter from three texts
//      of the input (split at zero bytes): the simulator must read back the
//      same command, whatever the texts hold.
//   2  a payload as it comes off the wire: parseCommand either refuses it
//      with one of its three reasons or reads a command that the viewer's
//      formatter writes back into the same command.
//
// An attribute value read back has its white space the way XML reads it: a
// tab, a line end or "\r\n" become one space each.

#include "FuzzSupport.h"

#include "SimProcess.h"  // the shared test certificates
#include "aggrsim/Log.h"
#include "aggrsim/Options.h"
#include "aggrsim/Playlist.h"
#include "aggrsim/Simulator.h"
#include "aggrsim/StudioList.h"
#include "app/QuorCommands.h"
#include "external/String.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kMaxLines = 32;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A simulator for the life of the process, and what it serves.
struct Rig {
    std::mutex m;
    std::vector<std::string> lines;  // logged since the last take
    aggrsim::Logger log{[this](const std::string& line) {
        std::lock_guard<std::mutex> g(m);
        lines.push_back(line);
    }};
    std::unique_ptr<aggrsim::Simulator> sim;
    aggrsim::StudioList studios;
    std::vector<std::string> playlistFiles;
    std::vector<std::string> playlistNames;

    Rig() {
        aggrsim::Options o;
        o.certs = simtest::certificateDir();
        FUZZ_CHECK_MSG(!o.certs.empty(), "no test certificates (scripts/make-certs needs the openssl command)");
        o.studios = aggrsim::defaultStudiosFile();
        o.playlists = aggrsim::defaultPlaylistsDir();
        o.tlsPort = 0;
        o.httpPort = 0;
        o.speed = 0;  // playout moves only when told to
        std::string error;
        FUZZ_CHECK_MSG(studios.load(readFile(o.studios), error), error);
        // The playlists as the simulator loads them.
        if (DIR* dir = ::opendir(o.playlists.c_str())) {
            while (const dirent* e = ::readdir(dir)) {
                const std::string name = e->d_name;
                struct stat st {};
                if (name[0] == '.' || ::stat((o.playlists + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                    continue;
                aggrsim::Playlist p;
                if (!p.load(readFile(o.playlists + "/" + name), error)) continue;
                playlistFiles.push_back(name);
                playlistNames.push_back(p.name());
            }
            ::closedir(dir);
        }
        FUZZ_CHECK(!playlistFiles.empty());
        sim = std::make_unique<aggrsim::Simulator>(o, log);
        FUZZ_CHECK_MSG(sim->start(error), error);
    }
    ~Rig() { sim->stop(); }

    std::vector<std::string> take() {
        std::lock_guard<std::mutex> g(m);
        std::vector<std::string> out;
        out.swap(lines);
        return out;
    }
    bool knownPlaylist(const std::string& w) const {
        for (size_t i = 0; i < playlistFiles.size(); ++i)
            if (playlistFiles[i] == w || playlistNames[i] == w) return true;
        return false;
    }
};

Rig& rig() {
    static Rig r;
    return r;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::string w;
    for (char c : line) {
        if (c == ' ' || (c >= '\t' && c <= '\r')) {
            if (!w.empty()) out.push_back(w);
            w.clear();
        } else {
            w += c;
        }
    }
    if (!w.empty()) out.push_back(w);
    return out;
}

// The command table: "" when the line runs, else the reason it is refused.
std::string refusal(const Rig& r, const std::string& line) {
    const std::vector<std::string> w = words(line);
    if (w.empty()) return "";
    const std::string& cmd = w[0];
    if (cmd == "update") {
        if (w.size() > 2) return "bad-arguments";
        if (w.size() == 2 && !r.studios.hasStudio(w[1])) return "unknown-studio";
        return "";
    }
    if (cmd == "studio") {
        if (w.size() != 3 || (w[2] != "up" && w[2] != "down")) return "bad-arguments";
        return r.studios.hasStudio(w[1]) ? "" : "unknown-studio";
    }
    if (cmd == "advance") {
        if (w.size() > 2) return "bad-arguments";
        return w.size() == 2 && !r.knownPlaylist(w[1]) ? "unknown-playlist" : "";
    }
    if (cmd == "drop" || cmd == "close" || cmd == "status") return w.size() == 1 ? "" : "bad-arguments";
    return "unknown-command";
}

void controlLines(fuzz::Reader& in) {
    Rig& r = rig();
    r.take();
    for (int n = 0; n < kMaxLines && !in.empty(); ++n) {
        const std::string line(in.until('\n'));
        const std::string reason = refusal(r, line);
        const bool ran = r.sim->execute(line);
        FUZZ_CHECK_MSG(ran == reason.empty(),
                       "line \"" + fuzz::printable(line) + "\" gave " + (ran ? "true" : "false"));
        int errors = 0;
        for (const std::string& logged : r.take()) {
            for (char c : logged) {
                const auto u = static_cast<unsigned char>(c);
                FUZZ_CHECK_MSG(u >= 0x20 && u < 0x7f, "log line \"" + fuzz::printable(logged) + "\"");
            }
            if (logged.rfind("control error ", 0) == 0) {
                ++errors;
                FUZZ_CHECK_EQ_STR(logged, "control error reason=" + reason + " line=" + aggrsim::logQuoted(line));
            }
        }
        FUZZ_CHECK(errors == (ran ? 0 : 1));
    }
}

// An attribute value as an XML reader gives it back.
std::string asRead(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
        out += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
    }
    return out;
}

String format(aggrsim::Command::Kind kind, const std::string& playlist, const std::string& eventId,
              const std::string& server) {
    switch (kind) {
        case aggrsim::Command::Kind::kNoQuorTrigger: return FormatNoQuorTrigger(playlist.c_str(), eventId.c_str());
        case aggrsim::Command::Kind::kEnableQuorTrigger:
            return FormatEnableQuorTrigger(playlist.c_str(), eventId.c_str());
        case aggrsim::Command::Kind::kChangeQuorServer:
            return FormatChangeQuorServer(playlist.c_str(), eventId.c_str(), server.c_str());
    }
    return String();
}

// The viewer's command for these texts must come back as the same command.
void roundTrip(aggrsim::Command::Kind kind, const std::string& playlist, const std::string& eventId,
               const std::string& server) {
    const String payload = format(kind, playlist, eventId, server);
    aggrsim::Command c;
    std::string reason;
    FUZZ_CHECK_MSG(
        aggrsim::parseCommand(std::string_view(payload.GetString(), static_cast<size_t>(payload.Length())), c, reason),
        reason + " for " + fuzz::printable(payload.GetString()));
    FUZZ_CHECK(c.kind == kind);
    FUZZ_CHECK_EQ_STR(c.playlist, asRead(playlist));
    FUZZ_CHECK_EQ_STR(c.eventId, asRead(eventId));
    FUZZ_CHECK_EQ_STR(c.quorServer, kind == aggrsim::Command::Kind::kChangeQuorServer ? asRead(server) : "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const int mode = in.byte() % 3;
    if (mode == 0) {
        controlLines(in);
    } else if (mode == 1) {
        const auto kind = static_cast<aggrsim::Command::Kind>(in.byte() % 3);
        const std::string playlist(in.until('\0'));
        const std::string eventId(in.until('\0'));
        const std::string server(in.until('\0'));
        roundTrip(kind, playlist, eventId, server);
    } else {
        const std::string_view payload = in.rest();
        aggrsim::Command c;
        std::string reason;
        if (!aggrsim::parseCommand(payload, c, reason)) {
            FUZZ_CHECK_MSG(reason == "malformed" || reason == "unknown-command" || reason == "missing-attribute",
                           reason);
            return 0;
        }
        roundTrip(c.kind, c.playlist, c.eventId, c.quorServer);
    }
    return 0;
}
