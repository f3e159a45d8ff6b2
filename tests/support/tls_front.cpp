#include "tls_front.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <system_error>

#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace vtest {
namespace fs = std::filesystem;

namespace {

// Plain text held for the slower side before the other side is no longer read: small, so that a
// scripted server that stops reading soon stalls the client, as a real one would. For the same
// reason the front's sockets have small buffers: left to itself the kernel grows a receive buffer
// to many megabytes, and a client would send a whole large message into it.
constexpr size_t kRelayLimit = 64 * 1024;
constexpr int kSocketBuffer = 64 * 1024;
constexpr size_t kReadBlock = 16 * 1024;
// The wire is recorded for the secrets in it, which come early; the gigabytes of a size test are
// not kept.
constexpr size_t kRecordLimit = 1024 * 1024;

struct CtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};
struct KeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CertFree {
    void operator()(X509* p) const { X509_free(p); }
};
struct FileClose {
    void operator()(FILE* p) const { std::fclose(p); }
};

[[noreturn]] void Throw(const std::string& what) {
    throw std::runtime_error("TlsFront: " + what);
}

std::string OpenSslReason() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? reason : "handshake failed";
}

// True when fd is ready for events; false when the front is stopping.
bool WaitFor(int fd, short events, int wakeFd) {
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
    while (true) {
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0 && fds[0].revents == 0;
    }
}

// Sends all of bytes on a non-blocking socket; false if the peer is gone or the front stops.
bool SendAll(int fd, std::string& bytes, int wakeFd) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0)
            bytes.erase(0, static_cast<size_t>(n));
        else if (n < 0 && errno == EAGAIN) {
            if (!WaitFor(fd, POLLOUT, wakeFd))
                return false;
        } else if (!(n < 0 && errno == EINTR))
            return false;
    }
    return true;
}

void TakeOutput(BIO* out, std::string& into) {
    char buf[kReadBlock];
    size_t n = 0;
    while (BIO_read_ex(out, buf, sizeof buf, &n) == 1)
        into.append(buf, n);
}

} // namespace

struct TlsFront::Identity {
    std::unique_ptr<SSL_CTX, CtxFree> ctx;
};

TlsFront::TlsFront(uint16_t backendPort, const std::string& san, Mode mode)
    : identity_(std::make_unique<Identity>()), backendPort_(backendPort), mode_(mode),
      listener_(16, kSocketBuffer) {
    std::string pattern = (fs::temp_directory_path() / "vellipost-tls-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        Throw("mkdtemp failed");
    dir_ = pattern;
    certFile_ = dir_ / "cert.pem";

    // A self-signed certificate valid from an hour ago for a day: the client trusts it directly.
    std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
    std::unique_ptr<X509, CertFree> cert(X509_new());
    if (!key || !cert)
        Throw("cannot make a key");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("vellipost test"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX v3{};
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, san.c_str());
    if (!ext)
        Throw("bad subjectAltName " + san);
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        Throw("cannot sign the certificate");
    {
        std::unique_ptr<FILE, FileClose> file(std::fopen(certFile_.c_str(), "w"));
        if (!file || PEM_write_X509(file.get(), cert.get()) != 1)
            Throw("cannot write " + certFile_.string());
    }

    identity_->ctx.reset(SSL_CTX_new(TLS_server_method()));
    if (!identity_->ctx || SSL_CTX_use_certificate(identity_->ctx.get(), cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(identity_->ctx.get(), key.get()) != 1)
        Throw("cannot set up the server context");

    thread_ = std::thread([this] { Run(); });
}

TlsFront::~TlsFront() {
    listener_.Stop();
    thread_.join();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

std::vector<std::string> TlsFront::HandshakeOutcomes() const {
    std::lock_guard lock(mutex_);
    return outcomes_;
}

bool TlsFront::WaitForHandshakes(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return outcomes_.size() >= n; });
}

std::string TlsFront::WireFromClients() const {
    std::lock_guard lock(mutex_);
    return wire_;
}

void TlsFront::Record(const char* bytes, size_t n) {
    std::lock_guard lock(mutex_);
    wire_.append(bytes, std::min(n, kRecordLimit - std::min(kRecordLimit, wire_.size())));
}

bool TlsFront::RelayUntilStartTls(int client, int backend) {
    const int wake = listener_.stopFd();
    char buf[kReadBlock];
    std::string line;   // the client's line being read
    bool asked = false; // the client has sent STARTTLS
    std::string reply;  // the server's answer to it, so far
    while (true) {
        pollfd fds[3] = {{wake, POLLIN, 0}, {client, POLLIN, 0}, {backend, POLLIN, 0}};
        const int n = ::poll(fds, 3, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || fds[0].revents)
            return false;
        if (fds[1].revents) {
            const ssize_t r = ::recv(client, buf, sizeof buf, 0);
            if (r <= 0)
                return false;
            Record(buf, static_cast<size_t>(r));
            std::string bytes(buf, static_cast<size_t>(r));
            for (const char c : bytes) {
                line += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                if (c == '\n') {
                    asked = asked || line == "STARTTLS\r\n";
                    line.clear();
                }
            }
            if (!SendAll(backend, bytes, wake))
                return false;
        }
        if (fds[2].revents) {
            const ssize_t r = ::recv(backend, buf, sizeof buf, 0);
            if (r <= 0)
                return false;
            std::string bytes(buf, static_cast<size_t>(r));
            if (asked)
                reply += bytes;
            if (!SendAll(client, bytes, wake))
                return false;
            // The answer's last line: a code, a space, and its end.
            for (size_t at = 0; asked && at < reply.size();) {
                const size_t end = reply.find("\r\n", at);
                if (end == std::string::npos)
                    break;
                if (end - at >= 4 && reply[at + 3] == ' ')
                    return true;
                at = end + 2;
            }
        }
    }
}

void TlsFront::Run() {
    try {
        while (UniqueFd client = listener_.Accept())
            Serve(std::move(client));
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
    }
}

void TlsFront::Serve(UniqueFd client) {
    const int wake = listener_.stopFd();
    UniqueFd backend;
    if (mode_ == Mode::StartTls) {
        backend = ConnectToLoopback(backendPort_, kSocketBuffer);
        if (!RelayUntilStartTls(client.get(), backend.get()))
            return;
    }
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(identity_->ctx.get()));
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!ssl || !in || !out)
        Throw("cannot make a session");
    SSL_set_bio(ssl.get(), in, out);
    SSL_set_accept_state(ssl.get());
    std::string toClient;
    char buf[kReadBlock];

    // The handshake, with the client alone.
    std::string outcome;
    while (true) {
        ERR_clear_error();
        const int rc = SSL_do_handshake(ssl.get());
        const bool failed = rc != 1 && SSL_get_error(ssl.get(), rc) != SSL_ERROR_WANT_READ;
        if (failed)
            outcome = OpenSslReason();
        TakeOutput(out, toClient);
        if (!SendAll(client.get(), toClient, wake) || failed || rc == 1)
            break;
        if (!WaitFor(client.get(), POLLIN, wake))
            return;
        const ssize_t n = ::recv(client.get(), buf, sizeof buf, 0);
        if (n <= 0 && !(n < 0 && (errno == EINTR || errno == EAGAIN))) {
            outcome = "the client closed the connection during the handshake";
            break;
        }
        if (n > 0) {
            Record(buf, static_cast<size_t>(n));
            BIO_write(in, buf, static_cast<int>(n));
        }
    }
    {
        std::lock_guard lock(mutex_);
        outcomes_.push_back(outcome);
    }
    changed_.notify_all();
    if (!outcome.empty())
        return;

    // Only now does the SMTP server see a connection (in implicit mode).
    if (!backend)
        backend = ConnectToLoopback(backendPort_, kSocketBuffer);

    std::string toBackend;   // decrypted, for the scripted server
    std::string fromBackend; // plain, to be encrypted for the client
    bool clientEof = false;  // the client's TCP stream ended
    bool tlsEnded = false;   // close_notify or a broken stream from the client
    bool backendEof = false;
    bool shutdownSent = false;
    while (true) {
        // Move everything the engine can move.
        size_t got = 0;
        while (!tlsEnded && toBackend.size() < kRelayLimit) {
            ERR_clear_error();
            if (SSL_read_ex(ssl.get(), buf, sizeof buf, &got) == 1) {
                toBackend.append(buf, got);
                continue;
            }
            tlsEnded = SSL_get_error(ssl.get(), 0) != SSL_ERROR_WANT_READ;
            break;
        }
        if (!fromBackend.empty()) {
            size_t written = 0;
            if (SSL_write_ex(ssl.get(), fromBackend.data(), fromBackend.size(), &written) != 1)
                return;
            fromBackend.clear();
        }
        if (backendEof && !shutdownSent) {
            SSL_shutdown(ssl.get());
            shutdownSent = true;
        }
        TakeOutput(out, toClient);
        if (clientEof) {
            // What arrived still goes on, as far as the scripted server takes it without
            // waiting; then it sees the client close.
            [[maybe_unused]] const ssize_t w =
                ::send(backend.get(), toBackend.data(), toBackend.size(), MSG_NOSIGNAL);
            return;
        }
        if ((tlsEnded && toBackend.empty()) || (backendEof && toClient.empty()))
            return;

        pollfd fds[3] = {{wake, POLLIN, 0}, {client.get(), 0, 0}, {backend.get(), 0, 0}};
        if (toBackend.size() < kRelayLimit)
            fds[1].events |= POLLIN;
        if (!toClient.empty())
            fds[1].events |= POLLOUT;
        if (!backendEof && toClient.size() < kRelayLimit)
            fds[2].events |= POLLIN;
        if (!toBackend.empty())
            fds[2].events |= POLLOUT;
        const int n = ::poll(fds, 3, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || fds[0].revents)
            return;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t r = ::recv(client.get(), buf, sizeof buf, 0);
            if (r > 0) {
                Record(buf, static_cast<size_t>(r));
                BIO_write(in, buf, static_cast<int>(r));
            } else if (r == 0 || (errno != EINTR && errno != EAGAIN))
                clientEof = true;
        }
        if ((fds[1].revents & POLLOUT) && !toClient.empty()) {
            const ssize_t w = ::send(client.get(), toClient.data(), toClient.size(), MSG_NOSIGNAL);
            if (w > 0)
                toClient.erase(0, static_cast<size_t>(w));
            else if (w < 0 && errno != EINTR && errno != EAGAIN)
                return;
        }
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t r = ::recv(backend.get(), buf, sizeof buf, 0);
            if (r > 0)
                fromBackend.append(buf, static_cast<size_t>(r));
            else if (r == 0 || (errno != EINTR && errno != EAGAIN))
                backendEof = true;
        }
        if ((fds[2].revents & POLLOUT) && !toBackend.empty()) {
            const ssize_t w =
                ::send(backend.get(), toBackend.data(), toBackend.size(), MSG_NOSIGNAL);
            if (w > 0)
                toBackend.erase(0, static_cast<size_t>(w));
            else if (w < 0 && errno != EINTR && errno != EAGAIN)
                return;
        }
    }
}

} // namespace vtest
