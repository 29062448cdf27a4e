#include "framework/Internet.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t kMaxBody = 64u * 1024u * 1024u;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    std::string* body;
    bool tooLarge = false;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (t->body->size() + n > kMaxBody) {
        t->tooLarge = true;
        return 0;  // ends the transfer
    }
    t->body->append(data, n);
    return n;
}

DWORD ErrorOf(CURLcode code) {
    switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL: return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_URL_MALFORMAT: return ERROR_INTERNET_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT: return ERROR_INTERNET_TIMEOUT;
    case CURLE_TOO_MANY_REDIRECTS: return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR: return ERROR_INTERNET_SEC_CERT_ERRORS;
    default: return ERROR_INTERNET_CONNECTION_ABORTED;
    }
}

// Only absolute http and https URLs with a host.
bool SchemeOf(const String& url, bool& known) {
    const char* u = url.GetString();
    known = std::strncmp(u, "http://", 7) == 0 || std::strncmp(u, "https://", 8) == 0;
    const char* sep = std::strstr(u, "://");
    return sep != nullptr && sep != u && sep[3] != '\0' && sep[3] != '/';
}

}  // namespace

CInternetSession::CInternetSession(const char* agent, DWORD, DWORD accessType, const char*, const char*, DWORD)
    : m_agent(agent != nullptr ? agent : ""), m_accessType(accessType) {
    GlobalInit();
}

CInternetSession::~CInternetSession() = default;

void CInternetSession::SetTimeouts(long connectMs, long totalMs) {
    m_connectMs = connectMs > 0 ? connectMs : 1;
    m_totalMs = totalMs > 0 ? totalMs : 1;
}

CHttpFile* CInternetSession::OpenURL(const char* url, DWORD, DWORD flags, const char*, DWORD) {
    const String text(url);
    bool known = false;
    const bool wellFormed = SchemeOf(text, known);
    if (!wellFormed) throw CInternetException(ERROR_INTERNET_INVALID_URL, std::string("invalid URL \"") + text.GetString() + "\"");
    if (!known)
        throw CInternetException(ERROR_INTERNET_UNRECOGNIZED_SCHEME,
                                 std::string("unsupported URL scheme in \"") + text.GetString() + "\"");
    return new CHttpFile(*this, text, flags);
}

CHttpFile::CHttpFile(const CInternetSession& session, const String& url, DWORD flags)
    : m_session(&session), m_url(url), m_flags(flags) {}

CHttpFile::~CHttpFile() = default;

bool CHttpFile::SendRequest(const char*, DWORD, void*, DWORD) {
    if (m_sent) return true;
    m_sent = true;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) throw CInternetException(ERROR_INTERNET_CONNECTION_ABORTED, "cannot start an HTTP transfer");
    Transfer transfer{&m_body};
    char error[CURL_ERROR_SIZE] = {};
    curl_slist* headers = nullptr;
    if (m_flags & (INTERNET_FLAG_RELOAD | INTERNET_FLAG_DONT_CACHE)) {
        // Fetched from the origin, not from a cache on the way.
        headers = curl_slist_append(headers, "Cache-Control: no-cache");
        headers = curl_slist_append(headers, "Pragma: no-cache");
    }
    curl_easy_setopt(curl, CURLOPT_URL, m_url.GetString());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, m_session->m_connectMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, m_session->m_totalMs);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    if (!m_session->m_agent.IsEmpty()) curl_easy_setopt(curl, CURLOPT_USERAGENT, m_session->m_agent.GetString());
    if (headers != nullptr) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (m_session->m_accessType == INTERNET_OPEN_TYPE_DIRECT) curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) {
        m_body.clear();
        if (transfer.tooLarge)
            throw CInternetException(ERROR_INTERNET_RESPONSE_TOO_LARGE, "response from " + std::string(m_url) + " larger than 64 MiB");
        std::string message = error[0] != '\0' ? error : curl_easy_strerror(rc);
        throw CInternetException(ErrorOf(rc), message + " (" + m_url.GetString() + ")");
    }
    m_status = static_cast<DWORD>(status);
    return true;
}

UINT CHttpFile::Read(void* buffer, UINT count) {
    if (!m_sent) SendRequest();
    if (buffer == nullptr || count == 0 || m_pos >= m_body.size()) return 0;
    const size_t n = std::min<size_t>(count, m_body.size() - m_pos);
    std::memcpy(buffer, m_body.data() + m_pos, n);
    m_pos += n;
    return static_cast<UINT>(n);
}

bool CHttpFile::QueryInfoStatusCode(DWORD& status) const {
    status = m_status;
    return m_sent && m_status != 0;
}

void CHttpFile::Close() {
    m_body.clear();
    m_body.shrink_to_fit();
    m_pos = 0;
}
