// Shared by the GUI test folders: a QApplication on the offscreen platform for
// the whole test program, private settings folders, and helpers that run the
// event loop for a bounded time.
//
// Each test process gets its own XDG_CONFIG_DIRS, XDG_CONFIG_HOME and
// XDG_RUNTIME_DIR under /tmp, set before the QApplication is made and removed
// at the end.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <utime.h>

#include "framework/Afx.h"

namespace guitest {

struct Folders {
    std::string root, configDirs, configHome, runtime;
};

inline std::string MakeTempDir(const char* pattern) {
    std::string path = pattern;
    if (::mkdtemp(path.data()) == nullptr) std::abort();
    return path;
}

inline Folders& GetFolders() {
    static Folders folders = [] {
        Folders f;
        f.root = MakeTempDir("/tmp/tallyscope-gui-XXXXXX");
        f.configDirs = f.root + "/etc-xdg";
        f.configHome = f.root + "/config";
        f.runtime = f.root + "/runtime";
        ::mkdir(f.configDirs.c_str(), 0700);
        ::mkdir(f.configHome.c_str(), 0700);
        ::mkdir(f.runtime.c_str(), 0700);
        return f;
    }();
    return folders;
}

// Owns the QApplication for the test program; made on the main thread by
// gtest before the first test.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // As the programs do at start: a peer that goes away (a TLS close
        // written to a dropped link, a stopped simulator) must not end us.
        std::signal(SIGPIPE, SIG_IGN);
        // Before the QApplication and anything else reads them.
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        const Folders& f = GetFolders();
        ::setenv("XDG_CONFIG_DIRS", f.configDirs.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", f.configHome.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", f.runtime.c_str(), 1);
        // The programs' state (crash log, operator's log) stays out of the home.
        ::setenv("XDG_STATE_HOME", (f.root + "/state").c_str(), 1);
        static int argc = 1;
        static char name[] = "gui_tests";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
    }
    void TearDown() override {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        delete app_;
        app_ = nullptr;
        QDir(QString::fromStdString(GetFolders().root)).removeRecursively();
    }

private:
    QApplication* app_ = nullptr;
};

inline bool RegisterEnvironment() {
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);
    return true;
}

inline const bool kRegistered = RegisterEnvironment();

// Runs the top-level event loop (level 1, where idle passes run) for ms.
inline void RunLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the top-level loop until done() holds or timeoutMs passed; a 10 ms
// ticker keeps the loop going round. Returns done().
inline bool RunLoopUntil(const std::function<bool()>& done, int timeoutMs) {
    if (done()) return true;
    QEventLoop loop;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    ticker.start(10);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

// Deletes what was handed to deleteLater.
inline void FlushDeferredDeletes() {
    for (int i = 0; i < 3; ++i) QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

inline int TopLevelWindowCount() {
    FlushDeferredDeletes();
    return static_cast<int>(QApplication::topLevelWidgets().size());
}

// Installs a modal-run hook for one scope.
class ScopedModalHook {
public:
    explicit ScopedModalHook(ModalRunHook hook) : previous_(AfxSetModalRunHook(std::move(hook))) {}
    ~ScopedModalHook() { AfxSetModalRunHook(std::move(previous_)); }
    ScopedModalHook(const ScopedModalHook&) = delete;
    ScopedModalHook& operator=(const ScopedModalHook&) = delete;

private:
    ModalRunHook previous_;
};

// Writes the machine-wide settings file Corvane/TarnTallyscope.conf in the
// first XDG_CONFIG_DIRS folder; raw is its whole text. Each write gets a
// later modification time so that QSettings reads it afresh.
inline void WriteMachineSettings(const std::string& raw) {
    static long stamp = 1000000000;
    const QString dir = QString::fromStdString(GetFolders().configDirs) + QStringLiteral("/Corvane");
    QDir().mkpath(dir);
    const QString path = dir + QStringLiteral("/TarnTallyscope.conf");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
    file.write(raw.data(), static_cast<qint64>(raw.size()));
    file.close();
    struct utimbuf times {};
    times.actime = times.modtime = (stamp += 10);
    ::utime(path.toLocal8Bit().constData(), &times);
}

inline void WriteConfigValue(const std::string& value) { WriteMachineSettings("[General]\nConfig=" + value + "\n"); }

inline void RemoveMachineSettings() {
    QFile::remove(QString::fromStdString(GetFolders().configDirs) + QStringLiteral("/Corvane/TarnTallyscope.conf"));
}

// Every GUI test ends with no top-level window left.
class GuiTest : public ::testing::Test {
protected:
    void TearDown() override {
        AfxSetModalRunHook({});
        EXPECT_EQ(TopLevelWindowCount(), 0) << "a window outlived its test";
    }
};

}  // namespace guitest
