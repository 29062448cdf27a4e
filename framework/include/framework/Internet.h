// The internet session: HTTP GET of a URL, over libcurl.
//
//   CInternetSession session("Tallyscope", 1, PRE_CONFIG_INTERNET_ACCESS);
//   CHttpFile* file = session.OpenURL(url, 1, INTERNET_FLAG_RELOAD |
//                                     INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_BINARY);
//   file->SendRequest();
//   char buf[4096];
//   while (UINT n = file->Read(buf, sizeof buf)) write(buf, n);
//   file->Close(); delete file; session.Close();
//
// Only http and https; redirects are followed (at most 5); a connection must
// be made within 10 s and the whole transfer end within 30 s (SetTimeouts
// changes both). The body is held in memory, at most 64 MiB. Proxies come
// from the environment (http_proxy, https_proxy, no_proxy) unless the session
// is opened for direct access. An HTTP error status is not an exception: the
// body is delivered as sent, and QueryInfoStatusCode tells the status.
//
// Errors throw CInternetException: an invalid URL or scheme from OpenURL; a
// failed transfer (name not resolved, refused, timed out, too large) from
// SendRequest, or from Read when the request was not sent yet.
//
// Blocking. A session and its files belong to one thread at a time; separate
// sessions may be used on different threads.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "framework/Afx.h"

#define PRE_CONFIG_INTERNET_ACCESS 0u
#define INTERNET_OPEN_TYPE_DIRECT 1u
#define INTERNET_FLAG_RELOAD 0x80000000u
#define INTERNET_FLAG_DONT_CACHE 0x04000000u
#define INTERNET_FLAG_TRANSFER_ASCII 0x00000001u
#define INTERNET_FLAG_TRANSFER_BINARY 0x00000002u

// Error numbers of the internet layer (the original's, where one exists).
#define ERROR_INTERNET_TIMEOUT 12002u
#define ERROR_INTERNET_INVALID_URL 12005u
#define ERROR_INTERNET_UNRECOGNIZED_SCHEME 12006u
#define ERROR_INTERNET_NAME_NOT_RESOLVED 12007u
#define ERROR_INTERNET_CANNOT_CONNECT 12029u
#define ERROR_INTERNET_CONNECTION_ABORTED 12030u
#define ERROR_HTTP_REDIRECT_FAILED 12156u
#define ERROR_INTERNET_SEC_CERT_ERRORS 12055u
#define ERROR_INTERNET_RESPONSE_TOO_LARGE 12174u

class CInternetException : public std::runtime_error {
public:
    CInternetException(DWORD error, const std::string& message) : std::runtime_error(message), m_dwError(error) {}
    DWORD m_dwError;
};

class CInternetSession;

class CHttpFile {
public:
    ~CHttpFile();
    CHttpFile(const CHttpFile&) = delete;
    CHttpFile& operator=(const CHttpFile&) = delete;

    // Performs the GET (once); headers and optional data are not supported
    // and must be null.
    bool SendRequest(const char* headers = nullptr, DWORD headersLength = 0, void* optional = nullptr,
                     DWORD optionalLength = 0);
    // Up to count bytes of the body; 0 at its end.
    UINT Read(void* buffer, UINT count);
    // The HTTP status of the final response (0 before it was sent).
    bool QueryInfoStatusCode(DWORD& status) const;
    void Close();

private:
    friend class CInternetSession;
    CHttpFile(const CInternetSession& session, const String& url, DWORD flags);
    const CInternetSession* m_session;
    String m_url;
    DWORD m_flags;
    bool m_sent = false;
    DWORD m_status = 0;
    std::string m_body;
    size_t m_pos = 0;
};

class CInternetSession {
public:
    explicit CInternetSession(const char* agent = nullptr, DWORD context = 1,
                              DWORD accessType = PRE_CONFIG_INTERNET_ACCESS, const char* proxyName = nullptr,
                              const char* proxyBypass = nullptr, DWORD flags = 0);
    ~CInternetSession();
    CInternetSession(const CInternetSession&) = delete;
    CInternetSession& operator=(const CInternetSession&) = delete;

    // The file for url, not yet sent; the caller deletes it.
    CHttpFile* OpenURL(const char* url, DWORD context = 1, DWORD flags = INTERNET_FLAG_TRANSFER_ASCII,
                       const char* headers = nullptr, DWORD headersLength = 0);
    void SetTimeouts(long connectMs, long totalMs);
    void Close() {}

    const String& GetAgent() const { return m_agent; }

private:
    friend class CHttpFile;
    String m_agent;
    DWORD m_accessType;
    long m_connectMs = 10000;
    long m_totalMs = 30000;
};
