#pragma once

#include "tarn/TarnString.h"

#include <cstdint>

struct sockaddr_in;

namespace tarn {

/// An IPv4 address and TCP port, both kept in network byte order. A plain
/// value: copies are independent; one object is used by one thread at a time.
class InetAddr {
public:
    /// The address from a host text:
    ///  - "*" (first character): 0, any address;
    ///  - first character a digit: the dotted-decimal address (inet_aton's
    ///    forms). A text that is no valid address gives 255.255.255.255, as
    ///    inet_addr does; the text is then also resolved as a host name, and
    ///    getConnectAddress() gives that result (a host name may begin with a
    ///    digit);
    ///  - anything else: a host name, resolved with getaddrinfo for IPv4
    ///    (blocking the calling thread); the first address found, or 0 when
    ///    the name cannot be resolved.
    /// The port is stored with htons; a port outside 0..65535 is stored cut
    /// to 16 bits and marked invalid (isPortValid).
    InetAddr(const TarnString& host, int port);
    /// An address already in network byte order, and a port.
    InetAddr(uint32_t address, int port);
    InetAddr(const InetAddr& other) = default;
    InetAddr& operator=(const InetAddr& other) = default;
    virtual ~InetAddr();

    /// True when address and port are both equal.
    bool operator==(const InetAddr& other) const;
    bool operator!=(const InetAddr& other) const { return !(*this == other); }

    /// The address, network byte order.
    uint32_t getAddress() const { return address_; }
    /// The port in host byte order.
    uint16_t getPort() const;
    /// The port as stored, network byte order.
    uint16_t getNetworkPort() const { return port_; }
    /// The address in dotted-decimal form, without the port.
    TarnString toString() const;

    /// The address to connect to or bind: getAddress(), except for a
    /// digit-led text that is no valid dotted address, where it is the host
    /// name resolution's result (0 when that failed). Network byte order.
    /// Address 0 here means "any address": a connect must refuse it.
    uint32_t getConnectAddress() const { return connectAddress_; }
    /// False when the port given was outside 0..65535: connect and bind must
    /// refuse the address.
    bool isPortValid() const { return portValid_; }
    /// getConnectAddress() and the port as an AF_INET socket address.
    void toSockAddr(sockaddr_in& out) const;

private:
    uint16_t port_;     // network byte order
    uint32_t address_;  // network byte order; 0 = any address
    uint32_t connectAddress_;
    bool portValid_;
};

}  // namespace tarn
