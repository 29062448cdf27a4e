#include "app/TallyscopeDoc.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "app/Resource.h"
#include "external/EventLog.h"
#include "framework/DocTemplate.h"
#include "framework/HttpFetcher.h"
#include "app/TallyscopeApp.h"
#include "framework/WinApp.h"

IMPLEMENT_DYNCREATE(CTallyscopeDoc, CDocument)

namespace {

// Event-log id of a failed playlist refresh (warning severity).
constexpr long kFetchFailedEvent = static_cast<long>(0x8E000D02u);

bool MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    return false;
}

// Removes the temporary file unless it was handed over.
class TempFile {
public:
    explicit TempFile(std::string pattern) : path_(std::move(pattern)) {
        const int fd = ::mkstemp(path_.data());
        if (fd >= 0) file_ = ::fdopen(fd, "wb");
        if (fd >= 0 && file_ == nullptr) ::close(fd);
    }
    ~TempFile() {
        if (file_ != nullptr) std::fclose(file_);
        if (!kept_) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    FILE* get() const { return file_; }
    const std::string& path() const { return path_; }
    bool Close() {
        const bool ok = std::fclose(file_) == 0;
        file_ = nullptr;
        return ok;
    }
    bool RenameTo(const std::string& target) {
        kept_ = ::rename(path_.c_str(), target.c_str()) == 0;
        return kept_;
    }

private:
    std::string path_;
    FILE* file_ = nullptr;
    bool kept_ = false;
};

}  // namespace

String PlaylistCacheFolder() {
    std::string base;
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/') {
        base = cache;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr && home[0] != '\0' ? home : "/tmp") + "/.cache";
    }
    MakeFolder(base);
    const std::string folder = base + "/tallyscope";
    MakeFolder(folder);
    return String(folder.c_str());
}

String PlaylistLocalFileName(const char* url) {
    const String text(url != nullptr ? url : "");
    // The tail after the last '/', as the original took it (without the '/').
    const int slash = text.ReverseFind('/');
    std::string name = text.Right(text.Length() - slash - 1).GetString();
    for (char& c : name) {
        const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '_' || c == '-';
        if (!safe) c = '_';
    }
    if (name.empty() || name == "." || name == "..") name = "playlist.xml";
    return String(name.c_str());
}

CTallyscopeDoc::CTallyscopeDoc() { MapCommand(ID_PLAYLIST_REFRESH, &CTallyscopeDoc::Refresh); }

CTallyscopeDoc::~CTallyscopeDoc() {
    if (m_fetchId != 0) {
        if (CWinApp* app = AfxGetApp()) app->GetHttpFetcher().Cancel(m_fetchId);
    }
}

void CTallyscopeDoc::Serialize(CArchive&) {}

bool CTallyscopeDoc::OnNewDocument() { return CDocument::OnNewDocument(); }

bool CTallyscopeDoc::OnOpenDocument(const char* url) {
    m_url = url != nullptr ? url : "";
    Fetch();
    return true;
}

namespace {

// What the worker hands back: the parsed tree of a good fetch.
struct LoadedPlaylist {
    CElementNode root;
};

// Worker thread: the local copy, then the parse. The body goes to a
// temporary file beside the copy and replaces it only when it parsed, so a
// failure never leaves a truncated or broken copy.
void StoreAndParse(CHttpResult& result, const std::string& target, LoadedPlaylist& loaded) {
    const String url(result.url.c_str());
    if (!result.ok) {
        result.message = result.message.empty() ? "the transfer failed" : result.message;
        return;
    }
    auto fail = [&](const std::string& reason) {
        result.ok = false;
        result.message = reason;
    };
    // An error page is not a playlist.
    if (result.status >= 400) return fail("HTTP status " + std::to_string(result.status));
    if (target.empty()) return fail("the cache folder cannot be made");
    TempFile temp(target + ".XXXXXX");
    if (temp.get() == nullptr) return fail("cannot write " + target + ": " + std::strerror(errno));
    if (!result.body.empty() &&
        std::fwrite(result.body.data(), 1, result.body.size(), temp.get()) != result.body.size())
        return fail("cannot write " + target + ": " + std::strerror(errno));
    if (!temp.Close()) return fail("cannot write " + target + ": " + std::strerror(errno));
    result.body.clear();
    result.body.shrink_to_fit();
    CXMLDoc xml;
    CFileXMLSrc source;
    source.SetFilePath(String(temp.path().c_str()));
    const bool parsed = xml.Parse(source);
    source.Close();
    if (!parsed) return fail("the playlist is not well-formed XML");
    if (!temp.RenameTo(target)) return fail("cannot write " + target + ": " + std::strerror(errno));
    loaded.root = xml.GetRootElement();
}

}  // namespace

void CTallyscopeDoc::Fetch() {
    if (m_fetchId != 0) {
        // One fetch per document at a time; the one asked for now follows.
        m_fetchAgain = true;
        return;
    }
    CWinApp* app = AfxGetApp();
    if (app == nullptr) return;
    CHttpFetcher::Request request;
    request.url = m_url.GetString();
    request.connectMs = m_fetchConnectMs;
    request.totalMs = m_fetchTotalMs;
    const std::string folder = PlaylistCacheFolder().GetString();
    const std::string target = folder.empty() ? std::string() : folder + "/" + PlaylistLocalFileName(m_url).GetString();
    auto loaded = std::make_shared<LoadedPlaylist>();
    request.process = [target, loaded](CHttpResult& result) { StoreAndParse(result, target, *loaded); };
    request.done = [this, loaded](CHttpResult& result) {
        String error;
        if (!result.ok) error.Format("%s: %s", result.url.c_str(), result.message.c_str());
        FetchEnded(result.ok, error, loaded->root);
    };
    m_fetchStarted = std::chrono::steady_clock::now();
    m_fetchId = app->GetHttpFetcher().Start(std::move(request));
}

void CTallyscopeDoc::FetchEnded(bool ok, const String& error, const CElementNode& root) {
    m_fetchId = 0;
    ++m_fetchesEnded;
    CTallyscopeApp* app = GetTallyscopeApp();
    const String previous = m_fetchError;
    if (ok) {
        m_root = root;
        m_lastGood = QDateTime::currentDateTime();
        m_fetchError = String();
        m_errorSince = QDateTime();
        UpdateAllViews(nullptr, 0, nullptr);
    } else {
        if (m_fetchError.IsEmpty()) m_errorSince = QDateTime::currentDateTime();
        m_fetchError = error;
        TarnEventLog(kFetchFailedEvent, "Fetch failed: %s", error.GetString());
        UpdateAllViews(nullptr, kHintFetchState, nullptr);
    }
    if (app != nullptr) app->PlaylistFetchEnded(this, ok, m_fetchStarted, ok ? previous : String());
    if (m_fetchAgain) {
        m_fetchAgain = false;
        Fetch();
    }
}

void CTallyscopeDoc::Refresh() { Fetch(); }
