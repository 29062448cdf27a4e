#include "tarn/platform/WinSockErrors.h"

#include <cerrno>

namespace tarn::platform {

namespace {

struct ErrnoToWsa {
    int err;
    int wsa;
};

// The one mapping of the layer. EAGAIN and EWOULDBLOCK are the same number on
// Linux but both are listed, so a platform where they differ still maps both.
// EPIPE is a send on a connection the peer has reset or closed: WinSock says
// "reset" there. EBADF is a handle that is no socket (any more), which WinSock
// reports as WSAENOTSOCK.
constexpr ErrnoToWsa kTable[] = {
    {EAGAIN, WSAEWOULDBLOCK},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},
    {EALREADY, WSAEALREADY},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},
    {ENOTCONN, WSAENOTCONN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETDOWN, WSAENETDOWN},
    {ENETRESET, WSAENETRESET},
    {EMSGSIZE, WSAEMSGSIZE},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {EINVAL, WSAEINVAL},
    {EBADF, WSAENOTSOCK},
    {ENOTSOCK, WSAENOTSOCK},
    {EINTR, WSAEINTR},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
};

}  // namespace

int wsaErrorFromErrno(int err) {
    if (err == 0) return 0;
    for (const ErrnoToWsa& e : kTable) {
        if (e.err == err) return e.wsa;
    }
    return kWsaCatchAll;
}

int wsaLastError() { return wsaErrorFromErrno(errno); }

}  // namespace tarn::platform
