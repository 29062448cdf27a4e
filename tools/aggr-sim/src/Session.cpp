#include "Impl.h"

#include "tarn/platform/WinSockErrors.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

namespace aggrsim {

Session::Session(tarn::SocketHandle socket, const tarn::InetAddr& peer, tarn::SSLContext* context, Simulator::Impl& sim,
                 uint64_t number)
    : tarn::SSLConnectedSocket(socket, peer, context),
      sim_(sim),
      number_(number),
      peerText_(std::string(peer.toString().c_str()) + ":" + std::to_string(peer.getPort())) {}

Session::~Session() {
    setReason("shutdown");
    sim_.sessionGone(*this);
}

int Session::handleEvents() {
    const int r = tarn::SSLConnectedSocket::handleEvents();
    // A socket that ended itself is deleted by a task posted to the reactor,
    // so it is still here; it delivers nothing more.
    if (!isClosing()) flushEmptyFrames();
    return r;
}

bool Session::onHandshakeDone() {
    opened_ = true;
    sim_.sessionOpened(*this);
    return true;
}

void Session::onError(int code) {
    if (code == tarn::kTlsHandshakeError && !opened_) {
        sim_.log.line("handshake refused session=" + std::to_string(number_) + " peer=" + peerText_ +
                      " code=" + std::to_string(code));
    }
    setReason("error code=" + std::to_string(code));
    tarn::SSLConnectedSocket::onError(code);  // ends the object: touch nothing after
}

void Session::onClosed(bool graceful) {
    setReason(graceful ? "peer-closed" : "reset");
    tarn::SSLConnectedSocket::onClosed(graceful);  // ends the object: touch nothing after
}

void Session::onMessage(const char* data, int length) {
    flushEmptyFrames();
    if (!frames_.empty()) frames_.pop_front();
    sim_.onPayload(*this, std::string_view(data, static_cast<size_t>(length)));
}

int Session::receiveRaw(char* buffer, int size) {
    const int r = tarn::SSLConnectedSocket::receiveRaw(buffer, size);
    if (r > 0) scan(buffer, r);
    return r;
}

void Session::scan(const char* data, int n) {
    while (n > 0 && !overLong_) {
        if (bodyLeft_ > 0) {
            const int take = static_cast<int>(std::min<int64_t>(bodyLeft_, n));
            bodyLeft_ -= take;
            data += take;
            n -= take;
            continue;
        }
        prefix_[prefixHave_++] = static_cast<unsigned char>(*data++);
        --n;
        if (prefixHave_ < 4) continue;
        prefixHave_ = 0;
        uint32_t word = 0;
        std::memcpy(&word, prefix_, sizeof word);
        const uint32_t length = ntohl(word);
        if (length > static_cast<uint32_t>(kMaxFrameLength)) {
            overLong_ = true;  // the frame reader ends the session
            return;
        }
        frames_.push_back(length == 0);
        bodyLeft_ = length;
    }
}

void Session::flushEmptyFrames() {
    while (!frames_.empty() && frames_.front() && !isClosing()) {
        frames_.pop_front();
        sim_.onPayload(*this, std::string_view());
    }
}

void Session::abort(const char* reason) {
    setReason(reason);
    // A zero linger time makes the close reset the connection.
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    ::setsockopt(getSocket(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    destroy();  // the handle is closed when the object goes
}

void Session::closeTls() {
    setReason("closed-by-server");
    shutdownSend();
}

}  // namespace aggrsim
