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

#include "framework/FrameWnd.h"
#include "app/Resource.h"
#include "external/EventLog.h"
#include "framework/DocTemplate.h"
#include "framework/Internet.h"
#include "framework/WinApp.h"

IMPLEMENT_DYNCREATE(CTallyscopeDoc, CDocument)

namespace {

// Event-log id of a failed playlist refresh (warning severity).
constexpr long kFetchFailedEvent = static_cast<long>(0x8E000D02u);

[[noreturn]] void Fail(const String& url, DWORD error, const std::string& reason) {
    throw CInternetException(error, std::string(url.GetString()) + ": " + reason);
}

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

void CTallyscopeDoc::Serialize(CArchive&) {}

bool CTallyscopeDoc::OnNewDocument() { return CDocument::OnNewDocument(); }

bool CTallyscopeDoc::OnOpenDocument(const char* url) {
    m_url = url != nullptr ? url : "";
    Fetch();
    return true;
}

void CTallyscopeDoc::Fetch() {
    CInternetSession session("Tallyscope", 1, PRE_CONFIG_INTERNET_ACCESS, nullptr, nullptr, 0);
    try {
        std::unique_ptr<CHttpFile> file(session.OpenURL(
            m_url, 1, INTERNET_FLAG_RELOAD | INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_BINARY));
        file->SendRequest();
        DWORD status = 0;
        file->QueryInfoStatusCode(status);
        // An error page is not a playlist.
        if (status >= 400) Fail(m_url, status, "HTTP status " + std::to_string(status));
        const std::string folder = PlaylistCacheFolder().GetString();
        const std::string target = folder + "/" + PlaylistLocalFileName(m_url).GetString();
        // The body goes to a temporary file beside the copy and replaces it
        // only when complete, so a failure never leaves a truncated copy.
        TempFile temp(target + ".XXXXXX");
        if (temp.get() == nullptr) Fail(m_url, 0, "cannot write " + target + ": " + std::strerror(errno));
        char buffer[4096];
        while (UINT n = file->Read(buffer, sizeof buffer)) {
            if (std::fwrite(buffer, 1, n, temp.get()) != n)
                Fail(m_url, 0, "cannot write " + target + ": " + std::strerror(errno));
        }
        file->Close();
        if (!temp.Close()) Fail(m_url, 0, "cannot write " + target + ": " + std::strerror(errno));
        // A body that does not parse keeps the old copy and the old tree.
        CXMLDoc xml;
        CFileXMLSrc source;
        source.SetFilePath(String(temp.path().c_str()));
        const bool parsed = xml.Parse(source);
        source.Close();
        if (!parsed) Fail(m_url, 0, "the playlist is not well-formed XML");
        if (!temp.RenameTo(target)) Fail(m_url, 0, "cannot write " + target + ": " + std::strerror(errno));
        m_root = xml.GetRootElement();
    } catch (const CInternetException& e) {
        // Framework errors name the URL already in part; ours begin with it.
        const std::string text = e.what();
        const std::string prefix = std::string(m_url.GetString()) + ": ";
        if (text.compare(0, prefix.size(), prefix) == 0) throw;
        Fail(m_url, e.m_dwError, text);
    }
    session.Close();
}

void CTallyscopeDoc::Refresh() {
    // The old tree stays until the new one parsed, so a failure keeps the rows.
    Fetch();
    UpdateAllViews(nullptr, 0, nullptr);
}

int RefreshAllPlaylistDocuments(CWinApp* app) {
    if (app == nullptr || app->m_pDocManager == nullptr) return 0;
    int failed = 0;
    for (CDocTemplate* docTemplate : app->m_pDocManager->GetTemplates()) {
        for (CDocument* document : docTemplate->GetDocuments()) {
            auto* doc = dynamic_cast<CTallyscopeDoc*>(document);
            if (doc == nullptr || doc->m_url.IsEmpty()) continue;
            try {
                doc->Refresh();
            } catch (const std::exception& e) {
                ++failed;
                String message;
                message.Format("Fetch failed: %s", e.what());
                if (auto* frame = dynamic_cast<CFrameWnd*>(app->m_pMainWnd)) frame->SetMessageText(message);
                TarnEventLog(kFetchFailedEvent, "%s", message.GetString());
            }
        }
    }
    return failed;
}
