// Reading a 10,000-event playlist into PlaylistEvents, beside a bare pugixml
// parse of the same file (the floor). Reports milliseconds and bytes and
// allocations per read. Target: parse and read cost at most twice the bare
// parse.
//
// The playlist is generated in the shape scripts/make-playlist writes; set
// TALLYSCOPE_PLAYLIST=<file> to measure another file instead.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <pugixml.hpp>
#include <string>

#include "external/XMLDoc.h"
#include "model/PlaylistEvent.h"

// ---------------------------------------------------------------------------
// Allocation counting: every operator new of the process, and pugixml's own
// allocations (it uses malloc unless told otherwise).

namespace {
std::atomic<long long> g_allocations{0};
std::atomic<long long> g_bytes{0};

void Count(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_add(static_cast<long long>(size), std::memory_order_relaxed);
}

void* CountedMalloc(size_t size) {
    Count(size);
    return std::malloc(size);
}

void* CountedNew(size_t size) {
    Count(size);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

// Routes pugixml through the counter before any document exists.
const bool g_pugiCounted = [] {
    pugi::set_memory_management_functions(&CountedMalloc, &std::free);
    return true;
}();
}  // namespace

void* operator new(size_t size) { return CountedNew(size); }
void* operator new[](size_t size) { return CountedNew(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

// Snapshot of the counters around a benchmark loop.
class AllocationMeter {
public:
    AllocationMeter()
        : allocations_(g_allocations.load(std::memory_order_relaxed)),
          bytes_(g_bytes.load(std::memory_order_relaxed)) {}
    void Report(benchmark::State& state) const {
        const double n = static_cast<double>(state.iterations());
        state.counters["allocs/read"] =
            static_cast<double>(g_allocations.load(std::memory_order_relaxed) - allocations_) / n;
        state.counters["bytes/read"] = static_cast<double>(g_bytes.load(std::memory_order_relaxed) - bytes_) / n;
    }

private:
    long long allocations_;
    long long bytes_;
};

// The same shape as scripts/make-playlist: clock first, then events with
// Segment/OnAir/Date, Time, Duration and QuorTrigger.
std::string MakePlaylist(int events) {
    static const char* const kTitles[] = {"Morning Show", "Headlines",       "Weather",     "Traffic Update",
                                          "Sports Desk",  "Business Report", "Documentary", "Film Trailer",
                                          "Music Hour",   "Late News"};
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Playlist name=\"Bench\">\n"
        "  <Clock>\n    <Date year=\"2002\" month=\"8\" day=\"30\"/>\n"
        "    <Time hh=\"6\" mm=\"0\" ss=\"0\"/>\n  </Clock>\n";
    long t = 6 * 3600;
    char buffer[1024];
    for (int i = 1; i <= events; ++i) {
        const int duration = 30 + (i * 37) % 600;
        const int frames = (i * 7) % 25;
        const int k = i % 4;
        std::snprintf(buffer, sizeof buffer,
                      "  <Event id=\"EV%07d\" name=\"%s %d\" status=\"%s\" quorServer=\"192.168.10.%d\">\n"
                      "    <Segment id=\"%d\">\n      <OnAir>\n"
                      "        <Date month=\"8\" day=\"30\" year=\"2002\"/>\n"
                      "        <Time hh=\"%ld\" mm=\"%ld\" ss=\"%ld\" ff=\"%d\"/>\n"
                      "        <Duration hh=\"%d\" mm=\"%d\" ss=\"%d\" ff=\"%d\"/>\n"
                      "      </OnAir>\n    </Segment>\n"
                      "    <QuorTrigger active=\"%s\" sent=\"%s\"/>\n  </Event>\n",
                      i, kTitles[i % 10], i, i == 3 ? "Running" : (i < 3 ? "Played" : "Cued"), 21 + i % 4,
                      i % 10 == 0 ? -1 : 100 + i / 5, (t / 3600) % 24, (t / 60) % 60, t % 60, frames, duration / 3600,
                      (duration / 60) % 60, duration % 60, frames, (k == 1 || k == 2) ? "true" : "false",
                      (k == 1 || k == 3) ? "true" : "false");
        xml += buffer;
        t += duration;
    }
    return xml + "</Playlist>\n";
}

// The file measured: TALLYSCOPE_PLAYLIST, or a generated one removed at exit.
class PlaylistFile {
public:
    PlaylistFile() {
        if (const char* given = std::getenv("TALLYSCOPE_PLAYLIST")) {
            path_ = given;
            return;
        }
        char pattern[] = "/tmp/playlist-bench-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) return;
        const std::string xml = MakePlaylist(10000);
        const bool written = write(fd, xml.data(), xml.size()) == static_cast<ssize_t>(xml.size());
        close(fd);
        path_ = pattern;
        owned_ = true;
        if (!written) path_.clear();
    }
    ~PlaylistFile() {
        if (owned_) unlink(path_.c_str());
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    bool owned_ = false;
};

const PlaylistFile& File() {
    static const PlaylistFile file;
    return file;
}

// Reads a parsed playlist the way a view fills its list: the clock, then one
// PlaylistEvent per event element, each dropped after use.
long ReadPlaylist(const CElementNode& root) {
    long checksum = 0;
    if (const std::optional<CTime> clock = ReadPlaylistClock(root)) checksum += static_cast<long>(clock->GetTime());
    for (CElementNode e = FirstPlaylistEvent(root); !e.IsNull(); e = e.GetNextSibling()) {
        const PlaylistEvent event = ReadPlaylistEvent(e);
        checksum += event.ImageIndex() + event.startText.Length() + event.duration.ss;
        benchmark::DoNotOptimize(event);
    }
    return checksum;
}

void BM_BarePugixmlParse(benchmark::State& state) {
    if (File().Path().empty()) {
        state.SkipWithError("no playlist file");
        return;
    }
    const AllocationMeter meter;
    for (auto _ : state) {
        pugi::xml_document doc;
        const pugi::xml_parse_result result = doc.load_file(File().Path().c_str(), pugi::parse_default);
        if (!result) state.SkipWithError("bare parse failed");
        benchmark::DoNotOptimize(doc.document_element().internal_object());
    }
    meter.Report(state);
}

void BM_ParseAndReadPlaylist(benchmark::State& state) {
    if (File().Path().empty()) {
        state.SkipWithError("no playlist file");
        return;
    }
    const AllocationMeter meter;
    for (auto _ : state) {
        CXMLDoc doc;
        CFileXMLSrc source;
        source.SetFilePath(File().Path().c_str());
        if (!doc.Parse(source)) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(ReadPlaylist(doc.GetRootElement()));
    }
    meter.Report(state);
}

// Reading alone, from a tree parsed once: the cost the model adds.
void BM_ReadParsedPlaylist(benchmark::State& state) {
    CXMLDoc doc;
    CFileXMLSrc source;
    source.SetFilePath(File().Path().c_str());
    if (!doc.Parse(source)) {
        state.SkipWithError("parse failed");
        return;
    }
    const CElementNode root = doc.GetRootElement();
    const AllocationMeter meter;
    for (auto _ : state) benchmark::DoNotOptimize(ReadPlaylist(root));
    meter.Report(state);
}

}  // namespace

BENCHMARK(BM_BarePugixmlParse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAndReadPlaylist)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadParsedPlaylist)->Unit(benchmark::kMillisecond);
