#include "mail/connection/resolver.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

namespace mail {
namespace {

struct AddrInfoFree {
    void operator()(addrinfo* ai) const { freeaddrinfo(ai); }
};

// getaddrinfo with the connection's hints; flags adds to them. No addresses on any failure, and
// then, if reason is given, getaddrinfo's words for it.
std::vector<Address> AddressesOf(const std::string& host, const std::string& service, int flags,
                                 std::string* reason = nullptr) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG | flags;
    addrinfo* found = nullptr;
    std::vector<Address> addresses;
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0 && reason)
        *reason = rc == EAI_SYSTEM ? std::generic_category().message(errno) : gai_strerror(rc);
    if (rc != 0 || !found)
        return addresses;
    const std::unique_ptr<addrinfo, AddrInfoFree> list(found);
    for (const addrinfo* ai = list.get(); ai; ai = ai->ai_next) {
        Address address;
        if (ai->ai_addrlen > sizeof address.addr)
            continue;
        std::memcpy(&address.addr, ai->ai_addr, ai->ai_addrlen);
        address.len = ai->ai_addrlen;
        addresses.push_back(address);
    }
    return addresses;
}

} // namespace

void Lookup::Answer(std::vector<Address> addresses, std::string reason) {
    {
        std::lock_guard lock(m_mutex);
        if (m_answered)
            return;
        m_addresses = std::move(addresses);
        m_reason = std::move(reason);
        m_answered = true;
    }
    m_cv.notify_all();
}

void Lookup::Wake() {
    {
        std::lock_guard lock(m_mutex);
        m_woken = true;
    }
    m_cv.notify_all();
}

bool Lookup::WaitUntil(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(m_mutex);
    m_cv.wait_until(lock, until, [&] { return m_answered || m_woken; });
    return m_answered;
}

void ResolveWithSystem(const std::string& host, std::uint16_t port,
                       std::shared_ptr<Lookup> lookup) {
    std::string service = std::to_string(port);
    // An address needs no name server and never blocks.
    auto numeric = AddressesOf(host, service, AI_NUMERICHOST | AI_NUMERICSERV);
    if (!numeric.empty()) {
        lookup->Answer(std::move(numeric));
        return;
    }
    try {
        std::thread([host, service = std::move(service), lookup] {
            std::string reason;
            auto addresses = AddressesOf(host, service, AI_NUMERICSERV, &reason);
            lookup->Answer(std::move(addresses), std::move(reason));
        }).detach();
    } catch (const std::system_error& e) {
        // No thread, no lookup: the name counts as unresolved.
        lookup->Answer({}, e.code().message());
    }
}

} // namespace mail
