// The viewer's test fixture and helpers.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "../framework/GuiTestSupport.h"
#include "app/MainFrm.h"
#include "app/Resource.h"
#include "app/TallyscopeApp.h"

namespace apptest {

// Sockets of this process that are TCP or UDP endpoints (IPv4 or IPv6).
inline int CountInetSockets() {
    std::set<std::string> inodes;
    for (const char* table :
         {"/proc/self/net/tcp", "/proc/self/net/tcp6", "/proc/self/net/udp", "/proc/self/net/udp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string f;
            for (int i = 0; i < 10 && fields >> f; ++i) {
            }
            if (!f.empty()) inodes.insert(f);
        }
    }
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent* e = ::readdir(dir)) {
        char target[256];
        const std::string path = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        std::string link(target);
        if (link.rfind("socket:[", 0) == 0 && inodes.count(link.substr(8, link.size() - 9))) ++count;
    }
    ::closedir(dir);
    return count;
}

// Threads of this process, without Qt's global pool (its threads start on
// demand, for painting among others, and linger for half a minute).
inline int CountOwnThreads() {
    // A sanitizer starts a helper thread with the process's first thread:
    // one made here first keeps it out of the difference between counts.
    static const bool warmed = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed;
    int count = 0;
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name != "Thread (pooled)") ++count;
    }
    ::closedir(dir);
    return count;
}

// The fixture: no settings files, no hook, and no window left at the end.
class AppTest : public guitest::GuiTest {
protected:
    void SetUp() override {
        guitest::RemoveMachineSettings();
        // Each test starts with no user settings (recent files among them).
        QDir(QString::fromStdString(guitest::GetFolders().configHome)).removeRecursively();
        QDir().mkpath(QString::fromStdString(guitest::GetFolders().configHome));
    }
};

inline std::string PaneText(CTallyscopeApp& app, int index) {
    return app.GetMainFrame()->m_wndStatusBar.GetPaneDisplayText(index).GetString();
}

// A TCP listener on 127.0.0.1 that never accepts: the kernel completes the
// connection and nothing is ever said on it. Port 0 picks a free one.
class SilentPeer {
public:
    explicit SilentPeer(int port = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            std::abort();
        port_ = ntohs(a.sin_port);
    }
    ~SilentPeer() { ::close(fd_); }
    SilentPeer(const SilentPeer&) = delete;
    SilentPeer& operator=(const SilentPeer&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace apptest
