#include "TlsTestUtil.h"

#include "tarn/SSLContext.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>
#include <functional>
#include <string>

using tarn::SSLContext;
using tarn::SSLContextError;
using tarn::TarnString;
using tlstest::certFile;
using tlstest::kPassPhrase;

namespace {

// Runs make and returns the SSLContextError it threw; fails the test if it
// threw nothing. The live count must come back to what it was.
SSLContextError thrownBy(const std::function<void()>& make) {
    const int live = SSLContext::liveCount();
    try {
        make();
    } catch (const SSLContextError& e) {
        EXPECT_EQ(live, SSLContext::liveCount()) << "a failed constructor gives its count back";
        EXPECT_EQ(0u, ERR_peek_error()) << "no stale entry is left on the error queue";
        return e;
    }
    ADD_FAILURE() << "no SSLContextError was thrown";
    return SSLContextError(0, false);
}

const TarnString kNone("");
const TarnString kCiphers("HIGH:!aNULL");

SSLContext* serverContext(const char* cert, const char* key, const TarnString& ca, const TarnString& ciphers,
                          bool requireClientCertificate) {
    return new SSLContext(certFile(cert), certFile(key), kNone, ca, ciphers, requireClientCertificate);
}

}  // namespace

// ---- the error class ----

TEST(SSLContextError, EveryCodeHasItsFixedMessage) {
    EXPECT_STREQ("Unable to intialize the SSL protocol with SSLv23_server_method()",
                 SSLContextError(-1, true).getMessage());
    EXPECT_STREQ("Unable to intialize the SSL protocol with SSLv23_client_method()",
                 SSLContextError(-1, false).getMessage());
    const char* expected[] = {
        "Unable to allocate a new SSL context with SSL_CTX_new()",
        "The specified certificate could not be loaded",
        "The specified private key file could not be loaded",
        "The specified certificate does not match the specified private key file",
        "The specified cipher list is invalid or does not match any known ciphers",
        "Client authentication was requested, but no valid CA list was provided",
        "Unable to load the specified list of valid CAs",
        "Unable to load the list of valid CA names for client authentication",
    };
    for (int code = -2; code >= -9; --code) {
        const SSLContextError e(code, code % 2 == 0);
        EXPECT_EQ(code, e.getCode());
        EXPECT_STREQ(expected[-code - 2], e.getMessage()) << "code " << code;
    }
}

TEST(SSLContextError, IsAQuorExceptionAndCopiesDeeply) {
    try {
        throw SSLContextError(SSLContextError::kKeyMismatch, false);
    } catch (const tarn::QuorException& e) {
        tarn::QuorException copy = e;
        EXPECT_EQ(-5, copy.getCode());
        EXPECT_STREQ("The specified certificate does not match the specified private key file", copy.getMessage());
    }
}

// ---- set-up failures from real files ----

TEST(SSLContextErrors, CertificateThatCannotBeLoadedIsMinus3) {
    for (const char* cert : {"missing.pem", "garbage.pem", "client.key"}) {
        auto e =
            thrownBy([&] { SSLContext c(certFile(cert), certFile("client.key"), kPassPhrase, certFile("ca.pem")); });
        EXPECT_EQ(-3, e.getCode()) << cert;
        EXPECT_STREQ("The specified certificate could not be loaded", e.getMessage());
    }
    EXPECT_EQ(-3,
              thrownBy([] { delete serverContext("missing.pem", "server.key", kNone, kCiphers, false); }).getCode());
}

TEST(SSLContextErrors, KeyThatCannotBeLoadedIsMinus4) {
    // Missing, not a key, and the encrypted client key with a wrong pass phrase.
    auto missing = thrownBy([] { delete serverContext("server.pem", "missing.key", kNone, kCiphers, false); });
    EXPECT_EQ(-4, missing.getCode());
    EXPECT_STREQ("The specified private key file could not be loaded", missing.getMessage());
    EXPECT_EQ(-4,
              thrownBy([] { delete serverContext("server.pem", "garbage.pem", kNone, kCiphers, false); }).getCode());
    EXPECT_EQ(-4, thrownBy([] {
                      SSLContext c(certFile("client.pem"), certFile("client.key"), "wrong", certFile("ca.pem"));
                  }).getCode());
    EXPECT_EQ(-4, thrownBy([] {
                      SSLContext c(certFile("client.pem"), certFile("client.key"), kNone, certFile("ca.pem"));
                  }).getCode());
}

TEST(SSLContextErrors, KeyOfAnotherCertificateIsMinus5) {
    auto e = thrownBy([] { delete serverContext("server.pem", "other-server.key", kNone, kCiphers, false); });
    EXPECT_EQ(-5, e.getCode());
    EXPECT_STREQ("The specified certificate does not match the specified private key file", e.getMessage());
    EXPECT_EQ(-5,
              thrownBy([] { SSLContext c(certFile("client.pem"), certFile("server.key"), kNone, kNone); }).getCode());
    // A key of another type loads beside the certificate and fails the check.
    EXPECT_EQ(-5, thrownBy([] { delete serverContext("server.pem", "ec.key", kNone, kCiphers, false); }).getCode());
}

TEST(SSLContextErrors, InvalidCipherListIsMinus6) {
    auto e = thrownBy([] { delete serverContext("server.pem", "server.key", kNone, "NO-SUCH-CIPHER", false); });
    EXPECT_EQ(-6, e.getCode());
    EXPECT_STREQ("The specified cipher list is invalid or does not match any known ciphers", e.getMessage());
}

TEST(SSLContextErrors, RequiredClientCertificatesWithoutCaFileIsMinus7) {
    auto e = thrownBy([] { delete serverContext("server.pem", "server.key", kNone, kCiphers, true); });
    EXPECT_EQ(-7, e.getCode());
    EXPECT_STREQ("Client authentication was requested, but no valid CA list was provided", e.getMessage());
    // Without the demand the empty CA file is not looked at.
    delete serverContext("server.pem", "server.key", kNone, kCiphers, false);
}

TEST(SSLContextErrors, CaFileThatCannotBeLoadedIsMinus8InEveryForm) {
    for (const char* ca : {"missing.pem", "garbage.pem"}) {
        auto server = thrownBy([&] { delete serverContext("server.pem", "server.key", certFile(ca), kCiphers, true); });
        EXPECT_EQ(-8, server.getCode()) << ca;
        EXPECT_STREQ("Unable to load the specified list of valid CAs", server.getMessage());
        EXPECT_EQ(-8, thrownBy([&] {
                          SSLContext c(certFile("client.pem"), certFile("client.key"), kPassPhrase, certFile(ca));
                      }).getCode())
            << ca;
        EXPECT_EQ(-8, thrownBy([&] { SSLContext c(certFile(ca)); }).getCode()) << ca;
    }
}

TEST(SSLContextErrors, CaFileWithoutCertificatesGivesNoCaNamesMinus9) {
    // A revocation list alone is a valid verify location but names no CA.
    auto e =
        thrownBy([] { delete serverContext("server.pem", "server.key", certFile("crl-only.pem"), kCiphers, true); });
    EXPECT_EQ(-9, e.getCode());
    EXPECT_STREQ("Unable to load the list of valid CA names for client authentication", e.getMessage());
}

// ---- contexts that build ----

TEST(SSLContextBuild, EveryFormBuildsFromGoodFiles) {
    SSLContext server(certFile("server.pem"), certFile("server.key"), kNone, certFile("ca.pem"), kCiphers, true);
    ASSERT_NE(nullptr, server.getContext());
    EXPECT_EQ(7, SSL_CTX_get_verify_mode(server.getContext())) << "peer, fail without certificate, once";
    const STACK_OF(X509_NAME)* names = SSL_CTX_get_client_CA_list(server.getContext());
    ASSERT_NE(nullptr, names);
    EXPECT_EQ(1, sk_X509_NAME_num(names)) << "the CA file's one CA is offered to clients";

    // The encrypted client key opens with the built-in pass phrase.
    SSLContext client(certFile("client.pem"), certFile("client.key"), kPassPhrase, certFile("ca.pem"));
    ASSERT_NE(nullptr, client.getContext());
    EXPECT_EQ(0, SSL_CTX_get_verify_mode(client.getContext())) << "the client sets no verify mode";
    EXPECT_NE(nullptr, SSL_CTX_get0_certificate(client.getContext()));

    SSLContext clientWithoutCa(certFile("client.pem"), certFile("client.key"), kPassPhrase, kNone);
    EXPECT_NE(nullptr, clientWithoutCa.getContext()) << "an empty CA file is skipped";

    SSLContext caOnly(certFile("ca.pem"));
    EXPECT_NE(nullptr, caOnly.getContext());
    EXPECT_EQ(nullptr, SSL_CTX_get0_certificate(caOnly.getContext()));
}

TEST(SSLContextBuild, PassPhraseCallbackCopiesAtMostTheBufferAndSaysHowMuch) {
    TarnString phrase("pelmo-with-a-long-tail");
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(8, SSLContext::passPhraseCallback(buffer, 8, 0, &phrase));
    EXPECT_EQ(0, std::memcmp(buffer, "pelmo-wi", 8));
    EXPECT_EQ('#', buffer[8]) << "nothing beyond the buffer";

    TarnString shortPhrase("pelmo");
    EXPECT_EQ(5, SSLContext::passPhraseCallback(buffer, sizeof buffer, 0, &shortPhrase));
    EXPECT_EQ(0, std::memcmp(buffer, "pelmo", 5));

    TarnString empty("");
    EXPECT_EQ(0, SSLContext::passPhraseCallback(buffer, sizeof buffer, 0, &empty));
    EXPECT_EQ(0, SSLContext::passPhraseCallback(buffer, 0, 0, &phrase));
}

TEST(SSLContextBuild, PassPhraseLongerThanOpensslBufferFailsCleanly) {
    // OpenSSL's buffer is 1024 bytes: a longer phrase is cut, the key does not
    // open, and nothing is read or written past the buffer.
    const std::string longPhrase(5000, 'p');
    EXPECT_EQ(-4, thrownBy([&] {
                      SSLContext c(certFile("client.pem"), certFile("client.key"), longPhrase.c_str(),
                                   certFile("ca.pem"));
                  }).getCode());
}

TEST(SSLContextBuild, LibraryStartsWithTheFirstAndCleansUpWithTheLastContext) {
    ASSERT_EQ(0, SSLContext::liveCount()) << "no context is left over from another test";
    const int startups = SSLContext::startupCount();
    const int cleanups = SSLContext::cleanupCount();
    {
        SSLContext a(certFile("ca.pem"));
        EXPECT_EQ(1, SSLContext::liveCount());
        EXPECT_EQ(startups + 1, SSLContext::startupCount());
        {
            SSLContext b(certFile("ca.pem"));
            EXPECT_EQ(2, SSLContext::liveCount());
            EXPECT_EQ(startups + 1, SSLContext::startupCount()) << "only the first starts the library";
        }
        EXPECT_EQ(cleanups, SSLContext::cleanupCount()) << "one context is still alive";
    }
    EXPECT_EQ(0, SSLContext::liveCount());
    EXPECT_EQ(cleanups + 1, SSLContext::cleanupCount());

    // The library works after the count went to zero: it was not torn down.
    SSLContext again(certFile("client.pem"), certFile("client.key"), kPassPhrase, certFile("ca.pem"));
    EXPECT_EQ(startups + 2, SSLContext::startupCount());
    SSL* ssl = SSL_new(again.getContext());
    EXPECT_NE(nullptr, ssl);
    SSL_free(ssl);
}

TEST(SSLContextBuild, FailedConstructionStartsAndCleansUpLikeAGoodOne) {
    ASSERT_EQ(0, SSLContext::liveCount());
    const int cleanups = SSLContext::cleanupCount();
    EXPECT_EQ(-8, thrownBy([] { SSLContext c(certFile("missing.pem")); }).getCode());
    EXPECT_EQ(0, SSLContext::liveCount());
    EXPECT_EQ(cleanups + 1, SSLContext::cleanupCount()) << "the failed context was the last one";
}

TEST(SSLContextBuild, ContextsOnSeveralThreadsKeepTheCount) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                try {
                    SSLContext c(tlstest::certFile("ca.pem"));
                    if (c.getContext() == nullptr) ++failures;
                } catch (const SSLContextError&) {
                    ++failures;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, SSLContext::liveCount());
}
