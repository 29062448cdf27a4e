#pragma once

#include "tarn/platform/NetEvents.h"

namespace tarn {

using platform::SocketHandle;

/// The root of every socket a reactor can watch. The reactor calls the three
/// operations below on its own thread; it never deletes a socket.
///
/// Process-wide, the live BaseSocket objects are counted: the first one runs
/// the platform start-up hook, the last one to go the clean-up hook (WinSock
/// start-up and clean-up; Linux needs neither, so the hooks only count their
/// runs). Construction and destruction may happen on any thread; the count is
/// atomic and the hooks run under one lock, so a start-up and a clean-up
/// never overlap.
class BaseSocket {
public:
    BaseSocket();
    virtual ~BaseSocket();

    BaseSocket(const BaseSocket&) = delete;
    BaseSocket& operator=(const BaseSocket&) = delete;

    /// The current handle. The reactor selects all six network events on it
    /// in every pass, so a subclass may replace its handle between passes.
    virtual SocketHandle getSocket() const = 0;
    /// Fetches and clears the socket's own pending events
    /// (platform::enumNetworkEvents; the reactor resets its event itself) and
    /// acts on them. The reactor ignores the result.
    virtual int handleEvents() = 0;
    /// The watching reactor has left its loop: the socket may release itself.
    virtual void onReactorStop() = 0;

    /// Live BaseSocket objects now.
    static int liveCount();
    /// How often the start-up and clean-up hooks have run in this process.
    static int startupCount();
    static int cleanupCount();
};

}  // namespace tarn
