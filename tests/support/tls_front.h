// A TLS front for the scripted server: it accepts TLS on 127.0.0.1 with a certificate of its own,
// and only once a handshake has succeeded opens a plain connection to the scripted server and
// relays the decrypted bytes both ways. So every scripted scenario can be played inside TLS, and a
// refused handshake provably reaches no SMTP server at all. In STARTTLS mode it relays the plain
// conversation from the start, and turns to TLS once the server has answered the client's
// STARTTLS: whatever the server said in that answer's bytes goes to the client before the
// handshake, as an attacker on the path could make it.
#pragma once

#include "listener.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vtest {

class TlsFront {
public:
    // Serves TLS with a fresh self-signed certificate whose subjectAltName is san (OpenSSL's
    // syntax, e.g. "IP:127.0.0.1" or "DNS:other.example") and relays to 127.0.0.1:backendPort.
    enum class Mode { Implicit, StartTls };
    TlsFront(uint16_t backendPort, const std::string& san, Mode mode = Mode::Implicit);
    ~TlsFront();
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;

    uint16_t port() const { return listener_.port(); }
    // The certificate as a PEM file, for a client to trust; removed with the front.
    std::string CertFile() const { return certFile_.string(); }

    // What the handshake of each accepted connection came to: "" when it succeeded, else
    // OpenSSL's reason as this side saw it (a client's alert reads like "tlsv1 alert unknown ca").
    std::vector<std::string> HandshakeOutcomes() const;
    // Waits until n accepted connections have finished their handshake, either way.
    bool WaitForHandshakes(size_t n, std::chrono::milliseconds timeout) const;
    // The bytes the clients sent, as they crossed the wire (encrypted where they were): the first
    // mebibyte of them.
    std::string WireFromClients() const;

private:
    void Run();
    void Serve(UniqueFd client);
    // STARTTLS mode: relays in plain text until the server's reply to STARTTLS has gone to the
    // client. False if either side ends first or the front stops.
    bool RelayUntilStartTls(int client, int backend);
    void Record(const char* bytes, size_t n);

    std::filesystem::path dir_;
    std::filesystem::path certFile_;
    struct Identity;
    std::unique_ptr<Identity> identity_;
    uint16_t backendPort_;
    Mode mode_;
    Listener listener_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> outcomes_;
    std::string wire_;

    std::thread thread_; // last: starts after everything it uses exists
};

} // namespace vtest
