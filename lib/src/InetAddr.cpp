#include "tarn/InetAddr.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tarn {

namespace {

// The first IPv4 address of a host name, or 0. Blocks for the look-up.
uint32_t resolve(const char* name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return 0;
    uint32_t address = 0;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
            address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    ::freeaddrinfo(found);
    return address;
}

bool portInRange(int port) { return port >= 0 && port <= 65535; }

}  // namespace

InetAddr::InetAddr(const TarnString& host, int port)
    : port_(htons(static_cast<uint16_t>(port))), address_(0), connectAddress_(0), portValid_(portInRange(port)) {
    const char* text = host.c_str();
    const auto first = static_cast<unsigned char>(text[0]);
    if (first == '*') return;
    if (first >= '0' && first <= '9') {
        in_addr parsed{};
        if (::inet_aton(text, &parsed) != 0) {
            address_ = parsed.s_addr;
            connectAddress_ = address_;
        } else {
            address_ = INADDR_NONE;
            connectAddress_ = resolve(text);
        }
        return;
    }
    address_ = resolve(text);
    connectAddress_ = address_;
}

InetAddr::InetAddr(uint32_t address, int port)
    : port_(htons(static_cast<uint16_t>(port))),
      address_(address),
      connectAddress_(address),
      portValid_(portInRange(port)) {}

InetAddr::~InetAddr() = default;

bool InetAddr::operator==(const InetAddr& other) const { return address_ == other.address_ && port_ == other.port_; }

uint16_t InetAddr::getPort() const { return ntohs(port_); }

TarnString InetAddr::toString() const {
    // inet_ntop into our own buffer: inet_ntoa's static one is shared by all
    // threads.
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = address_;
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return TarnString(text);
}

void InetAddr::toSockAddr(sockaddr_in& out) const {
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = port_;
    out.sin_addr.s_addr = connectAddress_;
}

}  // namespace tarn
