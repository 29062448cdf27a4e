#include "framework/Internet.h"

#include "CurlTransfer.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

void GlobalInit() { curlget::GlobalInit(); }

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
    DWORD error = 0;
    const std::string problem = curlget::CheckUrl(text.GetString(), error);
    if (!problem.empty()) throw CInternetException(error, problem);
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
    curlget::Sink sink;
    char error[CURL_ERROR_SIZE] = {};
    curlget::Options options;
    options.url = m_url.GetString();
    options.agent = m_session->m_agent.GetString();
    options.connectMs = m_session->m_connectMs;
    options.totalMs = m_session->m_totalMs;
    options.noCache = (m_flags & (INTERNET_FLAG_RELOAD | INTERNET_FLAG_DONT_CACHE)) != 0;
    options.direct = m_session->m_accessType == INTERNET_OPEN_TYPE_DIRECT;
    curl_slist* headers = curlget::Configure(curl, options, &sink, error);
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) {
        const DWORD code = sink.tooLarge ? ERROR_INTERNET_RESPONSE_TOO_LARGE : curlget::ErrorOf(rc);
        throw CInternetException(code, curlget::FailureText(rc, sink, error, m_url.GetString()));
    }
    m_body = std::move(sink.body);
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
