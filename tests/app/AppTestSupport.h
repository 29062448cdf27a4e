// The viewer's test fixture and helpers.
#pragma once

#include <dirent.h>
#include <unistd.h>

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

}  // namespace apptest
