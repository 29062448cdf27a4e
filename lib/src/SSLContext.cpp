#include "tarn/SSLContext.h"

#include "tarn/platform/Time.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace tarn {

namespace {

std::mutex gLibraryLock;    // orders the start and the clean-up against each other
std::atomic<int> gLive{0};  // changed under gLibraryLock, read without it
std::atomic<int> gStartups{0};
std::atomic<int> gCleanups{0};

// SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT | SSL_VERIFY_CLIENT_ONCE.
constexpr int kRequireClientCertificate = 7;
constexpr int kSeedWords = 256;

// The first context of the process. OpenSSL 3 starts itself on first use;
// the calls that still exist are made in their old order all the same.
void startLibrary() {
    SSL_library_init();
    SSL_load_error_strings();
    std::srand(platform::getTickCount());
    int seed[kSeedWords];
    for (int& word : seed) word = std::rand();
    RAND_seed(seed, sizeof seed);
    gStartups.fetch_add(1, std::memory_order_relaxed);
}

// The last context is gone. OPENSSL_cleanup() is never called: after it the
// library could not start again, and every reconnect drops to zero contexts.
// ERR_remove_state no longer exists in any useful form and is left out.
void cleanLibrary() {
    RAND_cleanup();
    ERR_free_strings();
    EVP_cleanup();
    gCleanups.fetch_add(1, std::memory_order_relaxed);
}

// True when the last failure on this thread's error queue says that a key
// did not match its certificate.
bool keyDoesNotMatch() {
    const unsigned long error = ERR_peek_last_error();
    return ERR_GET_LIB(error) == ERR_LIB_X509 &&
           (ERR_GET_REASON(error) == X509_R_KEY_VALUES_MISMATCH || ERR_GET_REASON(error) == X509_R_KEY_TYPE_MISMATCH);
}

}  // namespace

// ---- SSLContextError ----

const char* SSLContextError::messageFor(int code, bool server) {
    switch (code) {
        case kNoMethod:
            return server ? "Unable to intialize the SSL protocol with SSLv23_server_method()"
                          : "Unable to intialize the SSL protocol with SSLv23_client_method()";
        case kNoContext: return "Unable to allocate a new SSL context with SSL_CTX_new()";
        case kCertificate: return "The specified certificate could not be loaded";
        case kPrivateKey: return "The specified private key file could not be loaded";
        case kKeyMismatch: return "The specified certificate does not match the specified private key file";
        case kCipherList: return "The specified cipher list is invalid or does not match any known ciphers";
        case kNoCaList: return "Client authentication was requested, but no valid CA list was provided";
        case kCaFile: return "Unable to load the specified list of valid CAs";
        case kClientCaNames: return "Unable to load the list of valid CA names for client authentication";
        default: return nullptr;
    }
}

SSLContextError::SSLContextError(int code, bool server) : QuorException(code, messageFor(code, server)) {}

// ---- SSLContext ----

int SSLContext::passPhraseCallback(char* buf, int size, int /*rwflag*/, void* data) {
    if (buf == nullptr || size <= 0 || data == nullptr) return 0;
    const TarnString& phrase = *static_cast<const TarnString*>(data);
    // Never more than the buffer holds: OpenSSL takes the result as the
    // length of what is in it.
    const int n = std::min(phrase.length(), size);
    std::memcpy(buf, phrase.c_str(), static_cast<size_t>(n));
    return n;
}

void SSLContext::acquireLibrary() {
    std::lock_guard<std::mutex> lock(gLibraryLock);
    if (gLive.load(std::memory_order_relaxed) == 0) startLibrary();
    gLive.fetch_add(1, std::memory_order_relaxed);
    counted_ = true;
}

void SSLContext::release() {
    if (context_ != nullptr) {
        SSL_CTX_free(context_);
        context_ = nullptr;
    }
    if (!counted_) return;
    counted_ = false;
    std::lock_guard<std::mutex> lock(gLibraryLock);
    if (gLive.fetch_sub(1, std::memory_order_relaxed) == 1) cleanLibrary();
}

void SSLContext::fail(int code, bool server) {
    // The reasons OpenSSL queued are of no further use, and a stale entry
    // would spoil the next TLS call on this thread.
    ERR_clear_error();
    throw SSLContextError(code, server);
}

void SSLContext::createContext(bool server) {
    const SSL_METHOD* method = server ? TLS_server_method() : TLS_client_method();
    if (method == nullptr) fail(SSLContextError::kNoMethod, server);
    context_ = SSL_CTX_new(method);
    if (context_ == nullptr) fail(SSLContextError::kNoContext, server);
}

void SSLContext::loadCredentials(const TarnString& certificateFile, const TarnString& privateKeyFile,
                                 const TarnString& passPhrase) {
    passPhrase_ = passPhrase;
    SSL_CTX_set_default_passwd_cb(context_, &SSLContext::passPhraseCallback);
    SSL_CTX_set_default_passwd_cb_userdata(context_, &passPhrase_);
    if (SSL_CTX_use_certificate_file(context_, certificateFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        fail(SSLContextError::kCertificate, false);
    }
    if (SSL_CTX_use_PrivateKey_file(context_, privateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        // OpenSSL 3 already compares a key with the certificate of its type
        // while loading it; a key that loaded but does not match is still -5.
        fail(keyDoesNotMatch() ? SSLContextError::kKeyMismatch : SSLContextError::kPrivateKey, false);
    }
    if (SSL_CTX_check_private_key(context_) != 1) fail(SSLContextError::kKeyMismatch, false);
}

SSLContext::SSLContext(const TarnString& certificateFile, const TarnString& privateKeyFile,
                       const TarnString& passPhrase, const TarnString& caFile, const TarnString& cipherList,
                       bool requireClientCertificate) {
    try {
        acquireLibrary();
        createContext(true);
        loadCredentials(certificateFile, privateKeyFile, passPhrase);
        if (SSL_CTX_set_cipher_list(context_, cipherList.c_str()) != 1) fail(SSLContextError::kCipherList, true);
        if (requireClientCertificate) {
            if (caFile.length() == 0) fail(SSLContextError::kNoCaList, true);
            if (SSL_CTX_load_verify_locations(context_, caFile.c_str(), nullptr) != 1) {
                fail(SSLContextError::kCaFile, true);
            }
            SSL_CTX_set_verify(context_, kRequireClientCertificate, nullptr);
            STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(caFile.c_str());
            if (names == nullptr) fail(SSLContextError::kClientCaNames, true);
            SSL_CTX_set_client_CA_list(context_, names);  // the context owns the list now
        }
    } catch (...) {
        release();
        throw;
    }
}

SSLContext::SSLContext(const TarnString& certificateFile, const TarnString& privateKeyFile,
                       const TarnString& passPhrase, const TarnString& caFile) {
    try {
        acquireLibrary();
        createContext(false);
        loadCredentials(certificateFile, privateKeyFile, passPhrase);
        if (caFile.length() > 0 && SSL_CTX_load_verify_locations(context_, caFile.c_str(), nullptr) != 1) {
            fail(SSLContextError::kCaFile, false);
        }
    } catch (...) {
        release();
        throw;
    }
}

SSLContext::SSLContext(const TarnString& caFile) {
    try {
        acquireLibrary();
        createContext(false);
        if (SSL_CTX_load_verify_locations(context_, caFile.c_str(), nullptr) != 1) {
            fail(SSLContextError::kCaFile, false);
        }
    } catch (...) {
        release();
        throw;
    }
}

SSLContext::~SSLContext() { release(); }

int SSLContext::liveCount() { return gLive.load(std::memory_order_relaxed); }
int SSLContext::startupCount() { return gStartups.load(std::memory_order_relaxed); }
int SSLContext::cleanupCount() { return gCleanups.load(std::memory_order_relaxed); }

}  // namespace tarn
