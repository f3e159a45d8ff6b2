#include "mail/connection/tls_engine.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace mail {
namespace {

bool IsIpAddress(const std::string& host) {
    in6_addr addr{};
    return inet_pton(AF_INET, host.c_str(), &addr) == 1 ||
           inet_pton(AF_INET6, host.c_str(), &addr) == 1;
}

// OpenSSL's own words for its last error; "" when it has none.
std::string OpenSslReason() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? reason : "";
}

} // namespace

void TlsEngine::CtxFree::operator()(ssl_ctx_st* ctx) const {
    SSL_CTX_free(ctx);
}

void TlsEngine::SslFree::operator()(ssl_st* ssl) const {
    SSL_free(ssl);
}

TlsEngine::~TlsEngine() = default;

std::unique_ptr<TlsEngine> TlsEngine::Open(const std::string& host, const std::string& caFile,
                                           std::string& failure) {
    ERR_clear_error();
    auto tls = std::make_unique<TlsEngine>(Token{});
    tls->m_ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!tls->m_ctx) {
        failure = OpenSslReason();
        return nullptr;
    }
    SSL_CTX* ctx = tls->m_ctx.get();
    // TLS 1.0 and 1.1 are broken and no longer offered by mail providers. Renegotiation is never
    // needed by a client that only sends, and refusing it keeps writes free of reads.
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    const bool trusted = caFile.empty()
                             ? SSL_CTX_set_default_verify_paths(ctx) == 1
                             : SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) == 1;
    if (!trusted) {
        failure = OpenSslReason();
        return nullptr;
    }

    tls->m_ssl.reset(SSL_new(ctx));
    if (!tls->m_ssl) {
        failure = OpenSslReason();
        return nullptr;
    }
    SSL* ssl = tls->m_ssl.get();
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!in || !out) {
        BIO_free(in);
        BIO_free(out);
        failure = "out of memory";
        return nullptr;
    }
    SSL_set_bio(ssl, in, out); // the session owns them from here
    tls->m_in = in;
    tls->m_out = out;
    SSL_set_connect_state(ssl);

    // The certificate must name the host we connected to. An IP literal is checked against the
    // certificate's IP addresses and is not sent as SNI, which RFC 6066 reserves for DNS names.
    bool named = false;
    if (IsIpAddress(host)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    } else {
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 &&
                SSL_set1_host(ssl, host.c_str()) == 1;
    }
    if (!named) {
        failure = OpenSslReason();
        return nullptr;
    }
    return tls;
}

TlsEngine::Status TlsEngine::Handshake() {
    if (m_broken)
        return Status::Failed;
    ERR_clear_error();
    const int rc = SSL_do_handshake(m_ssl.get());
    if (rc == 1)
        return Status::Ok;
    const int error = SSL_get_error(m_ssl.get(), rc);
    if (error == SSL_ERROR_WANT_READ)
        return Status::WantRead;
    return Fail(error);
}

bool TlsEngine::Write(const void* data, std::size_t len) {
    if (m_broken)
        return false;
    ERR_clear_error();
    std::size_t written = 0;
    // Memory output takes everything at once: no partial writes, no waiting.
    const int rc = SSL_write_ex(m_ssl.get(), data, len, &written);
    if (rc == 1 && written == len)
        return true;
    Fail(SSL_get_error(m_ssl.get(), rc));
    return false;
}

TlsEngine::Status TlsEngine::Read(void* buf, std::size_t len, std::size_t& got) {
    got = 0;
    if (m_broken)
        return Status::Failed;
    ERR_clear_error();
    const int rc = SSL_read_ex(m_ssl.get(), buf, len, &got);
    if (rc == 1)
        return Status::Ok;
    const int error = SSL_get_error(m_ssl.get(), rc);
    if (error == SSL_ERROR_WANT_READ)
        return Status::WantRead;
    if (error == SSL_ERROR_ZERO_RETURN)
        return Status::Closed;
    return Fail(error);
}

void TlsEngine::Feed(const void* data, std::size_t len) {
    std::size_t written = 0;
    if (!m_broken && (BIO_write_ex(m_in, data, len, &written) != 1 || written != len)) {
        m_broken = true;
        m_failure = std::strerror(ENOMEM);
    }
}

std::size_t TlsEngine::TakeOutput(void* buf, std::size_t len) {
    std::size_t got = 0;
    return BIO_read_ex(m_out, buf, len, &got) == 1 ? got : 0;
}

void TlsEngine::Shutdown() {
    // After a fatal error OpenSSL forbids a shutdown; before the handshake there is nothing to end.
    if (!m_broken && SSL_is_init_finished(m_ssl.get()))
        SSL_shutdown(m_ssl.get());
}

TlsEngine::Status TlsEngine::Fail(int sslError) {
    m_broken = true;
    const long verify = SSL_get_verify_result(m_ssl.get());
    if (verify != X509_V_OK)
        m_failure = X509_verify_cert_error_string(verify);
    else if (sslError == SSL_ERROR_SSL)
        m_failure = OpenSslReason();
    else
        m_failure.clear(); // the connection broke beneath OpenSSL: no words of its own
    return Status::Failed;
}

} // namespace mail
