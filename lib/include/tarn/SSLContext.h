#pragma once

#include "tarn/QuorException.h"
#include "tarn/TarnString.h"

// The OpenSSL context type, without pulling OpenSSL's headers into every user
// (SSL_CTX is this struct).
struct ssl_ctx_st;

namespace tarn {

/// What the SSLContext constructors throw: a fixed code and message.
///
///   -1  no TLS method (the server or client text)
///   -2  SSL_CTX_new failed
///   -3  certificate not loaded          -4  private key not loaded
///   -5  certificate and key differ      -6  cipher list invalid
///   -7  client certificates required without a CA file
///   -8  CA file not loaded              -9  CA names not loaded
class SSLContextError : public QuorException {
public:
    static constexpr int kNoMethod = -1;
    static constexpr int kNoContext = -2;
    static constexpr int kCertificate = -3;
    static constexpr int kPrivateKey = -4;
    static constexpr int kKeyMismatch = -5;
    static constexpr int kCipherList = -6;
    static constexpr int kNoCaList = -7;
    static constexpr int kCaFile = -8;
    static constexpr int kClientCaNames = -9;

    /// The error for code with its fixed message; `server` picks the text of
    /// -1. A code outside -9..-1 keeps the code and has no message.
    SSLContextError(int code, bool server);

    /// The fixed message of code (the server or client text for -1), or null
    /// for a code outside -9..-1.
    static const char* messageFor(int code, bool server);
};

/// One OpenSSL context (SSL_CTX) with its certificate, key, trusted CAs and
/// cipher list, from which the TLS sockets make their connections.
///
/// The live contexts of the process are counted: the first one starts the TLS
/// library, the last one runs the clean-up that still exists (the library is
/// never torn down for good, so a later context starts it again). A
/// constructor that throws frees what it built and gives its count back.
///
/// Threads: contexts may be built and destroyed on any thread. A context
/// must outlive every socket made from it; once sockets use it, it is only
/// read.
class SSLContext {
public:
    /// Server: certificate and private key (PEM files; the pass phrase opens
    /// an encrypted key), the cipher list for TLS 1.2 and below, and, when
    /// client certificates are required, the CA file that must have signed
    /// them (its names are sent to clients as the acceptable CAs).
    /// Throws SSLContextError -1 to -9.
    SSLContext(const TarnString& certificateFile, const TarnString& privateKeyFile, const TarnString& passPhrase,
               const TarnString& caFile, const TarnString& cipherList, bool requireClientCertificate);
    /// Client presenting a certificate. An empty CA file loads no trusted CA,
    /// so every server's certificate is refused. Throws -1 to -5 or -8.
    SSLContext(const TarnString& certificateFile, const TarnString& privateKeyFile, const TarnString& passPhrase,
               const TarnString& caFile);
    /// Client without a certificate, trusting the CAs of caFile. Throws -1,
    /// -2 or -8.
    explicit SSLContext(const TarnString& caFile);
    /// Frees the OpenSSL context, then gives back this context's count.
    virtual ~SSLContext();

    SSLContext(const SSLContext&) = delete;
    SSLContext& operator=(const SSLContext&) = delete;

    /// The OpenSSL context (owned by this object).
    ssl_ctx_st* getContext() const { return context_; }

    /// Contexts alive now in the process.
    static int liveCount();
    /// How often the library start and the clean-up have run in the process.
    static int startupCount();
    static int cleanupCount();

    /// The pass-phrase callback installed on every context: copies the pass
    /// phrase (a TarnString at `data`) into buf, at most size bytes, and
    /// returns the number of bytes copied. OpenSSL calls it while loading an
    /// encrypted key.
    static int passPhraseCallback(char* buf, int size, int rwflag, void* data);

private:
    // Counts this context in and starts the library for the first one.
    void acquireLibrary();
    // Frees the context (if any) and gives the count back. Idempotent.
    void release();
    // Makes the context with the server or client method: -1, -2.
    void createContext(bool server);
    // Pass phrase, certificate, key and their match: -3, -4, -5.
    void loadCredentials(const TarnString& certificateFile, const TarnString& privateKeyFile,
                         const TarnString& passPhrase);
    [[noreturn]] void fail(int code, bool server);

    ssl_ctx_st* context_ = nullptr;  // owned
    TarnString passPhrase_;          // the callback's data: lives as long as the context
    bool counted_ = false;
};

}  // namespace tarn
