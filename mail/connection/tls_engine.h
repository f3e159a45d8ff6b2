#pragma once
// The TLS client engine of one connection (OpenSSL), working on memory only: bytes from the server
// go in with Feed(), bytes for the server come out with TakeOutput(). It never touches the network,
// so TlsStream moves the bytes over its TCP stream with that stream's bounded, abortable,
// hook-calling waits, and no write can ever raise SIGPIPE behind its back.
//
// All calls on one object must come from one thread at a time.
#include <cstddef>
#include <memory>
#include <string>

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;

namespace mail {

class TlsEngine {
    struct Token {
        explicit Token() = default;
    };

public:
    enum class Status {
        Ok,       // done
        WantRead, // needs more bytes from the server: send the output, receive, Feed, call again
        Closed,   // the server ended TLS properly (close_notify)
        Failed    // refused or broken for good; FailureText() tells why
    };

    // A client session for host, not yet started. The server's certificate must chain to a CA in
    // caFile (PEM) or, if caFile is empty, in the system's store, and must name host (a DNS name,
    // also sent as SNI, or an IP address). Null, with the reason in failure, if OpenSSL cannot set
    // this up (for example, the CA file cannot be read).
    static std::unique_ptr<TlsEngine> Open(const std::string& host, const std::string& caFile,
                                           std::string& failure);
    explicit TlsEngine(Token) {} // through Open() only
    ~TlsEngine();
    TlsEngine(const TlsEngine&) = delete;
    TlsEngine& operator=(const TlsEngine&) = delete;

    // Advances the handshake, certificate checks included: Ok once it is complete, WantRead, or
    // Failed. Send the output after every call, also after Failed (it may hold an alert that tells
    // the server why).
    Status Handshake();
    // Encrypts all len bytes into the output. Only after a completed handshake. False if the
    // session is broken.
    bool Write(const void* data, std::size_t len);
    // Decrypts at most len bytes into buf: Ok with got > 0, WantRead, Closed or Failed.
    Status Read(void* buf, std::size_t len, std::size_t& got);
    // Bytes received from the server, in order.
    void Feed(const void* data, std::size_t len);
    // Moves up to len bytes waiting for the server into buf; 0 when there are none.
    std::size_t TakeOutput(void* buf, std::size_t len);
    // Puts a close_notify into the output if the session is established and unbroken: the end of
    // the connection is then known to the server as deliberate, not a cut.
    void Shutdown();

    const std::string& FailureText() const { return m_failure; }

private:
    struct CtxFree {
        void operator()(ssl_ctx_st* ctx) const;
    };
    struct SslFree {
        void operator()(ssl_st* ssl) const;
    };

    Status Fail(int sslError);

    std::unique_ptr<ssl_ctx_st, CtxFree> m_ctx;
    std::unique_ptr<ssl_st, SslFree> m_ssl; // owns both memory BIOs
    bio_st* m_in = nullptr;                 // server -> engine
    bio_st* m_out = nullptr;                // engine -> server
    bool m_broken = false;
    std::string m_failure;
};

} // namespace mail
