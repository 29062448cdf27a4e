#include "app/Startup.h"

#include <QApplication>
#include <QPixmap>
#include <QWidget>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/AppResources.h"
#include "app/MainFrm.h"
#include "app/SessionDocManager.h"
#include "app/TallyscopeApp.h"
#include "tarn/CrashLog.h"

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: tallyscope [--help] [--version] [--connect] [--studio NAME]\n"
                 "                  [--screenshot FILE] [--quit-after SECONDS]\n"
                 "\n"
                 "Monitors the playlists of a broadcast studio through an aggregation server.\n"
                 "File > Open starts the session with the server named in the configuration.\n"
                 "\n"
                 "The configuration file is named by the machine-wide settings file\n"
                 "Corvane/TarnTallyscope.conf in the first folder of XDG_CONFIG_DIRS\n"
                 "(default /etc/xdg):\n"
                 "\n"
                 "  [General]\n"
                 "  Config=/path/to/config.xml\n"
                 "\n"
                 "Options:\n"
                 "  --help             show this text and exit\n"
                 "  --version          show the version and exit\n"
                 "  --connect          connect to the server at start-up (as File > Open)\n"
                 "  --studio NAME      choose the studio NAME without asking\n"
                 "  --screenshot FILE  save the main window as a PNG image, then exit\n"
                 "                     (after SECONDS with --quit-after, else at once)\n"
                 "  --quit-after SECONDS  exit after that many seconds\n");
}

// The manager exists once the application has started (InitInstance adds
// the template); made here when asked for earlier.
CSessionDocManager* SessionManagerOf(CTallyscopeApp& app) {
    if (app.m_pDocManager == nullptr) app.m_pDocManager = new CSessionDocManager;
    return dynamic_cast<CSessionDocManager*>(app.m_pDocManager);
}

// The crash log goes to $XDG_STATE_HOME/tallyscope (default
// ~/.local/state/tallyscope), made when missing; the current folder when
// no such folder can be made.
void SetUpCrashLog() {
    std::string base;
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.local";
        ::mkdir(base.c_str(), 0700);
        base += "/state";
    } else {
        return;
    }
    ::mkdir(base.c_str(), 0700);
    const std::string folder = base + "/tallyscope";
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) tarn::setCrashLogFolder(folder);
}

}  // namespace

int TallyscopeMain(int argc, char** argv) {
    // A peer that goes away must never end the process.
    std::signal(SIGPIPE, SIG_IGN);

    const char* screenshot = nullptr;
    const char* studio = nullptr;
    bool connect = false;
    double quitAfter = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Tallyscope %s\n", kTallyscopeVersion);
            return 0;
        }
        if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            screenshot = argv[++i];
            continue;
        }
        if (std::strcmp(argv[i], "--connect") == 0) {
            connect = true;
            continue;
        }
        if (std::strcmp(argv[i], "--studio") == 0 && i + 1 < argc) {
            studio = argv[++i];
            continue;
        }
        if (std::strcmp(argv[i], "--quit-after") == 0 && i + 1 < argc) {
            char* end = nullptr;
            quitAfter = std::strtod(argv[++i], &end);
            if (end != nullptr && *end == '\0' && quitAfter >= 0 && quitAfter <= 86400) continue;
            std::fprintf(stderr, "tallyscope: --quit-after takes a number of seconds (0 to 86400)\n\n");
            PrintUsage(stderr);
            return 2;
        }
        std::fprintf(stderr, "tallyscope: unknown option %s\n\n", argv[i]);
        PrintUsage(stderr);
        return 2;
    }

    SetUpCrashLog();
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tallyscope"));
    QApplication::setApplicationVersion(QString::fromLatin1(kTallyscopeVersion));
    int rc = 0;
    {
        CTallyscopeApp app;
        if (studio != nullptr) {
            if (CSessionDocManager* manager = SessionManagerOf(app)) {
                manager->m_hasPresetStudio = true;
                manager->m_presetStudio = studio;
                // An unattended display started with its server down keeps
                // trying until its session is up.
                manager->m_retryOpenUntilUp = connect;
            }
        }
        if (connect) {
            // Once the loop runs, so the main window is up first; the Open
            // never holds the loop, so the window paints while it waits.
            QTimer::singleShot(0, &qapp, [&app] {
                if (CMainFrame* frame = app.GetMainFrame(); frame != nullptr && frame->m_hWnd->isVisible())
                    frame->m_hWnd->repaint();
                app.OnFileOpen();
            });
        }
        bool saved = false;
        if (screenshot != nullptr || quitAfter >= 0) {
            // By default after the first idle passes have set the toolbar and panes.
            const int ms = quitAfter >= 0 ? static_cast<int>(quitAfter * 1000) : 500;
            QTimer::singleShot(ms, &qapp, [&app, &saved, screenshot] {
                CMainFrame* frame = app.GetMainFrame();
                if (frame != nullptr && screenshot != nullptr)
                    saved = frame->m_hWnd->grab().save(QString::fromLocal8Bit(screenshot), "PNG");
                if (frame != nullptr) {
                    frame->OnClose();
                } else {
                    QCoreApplication::quit();
                }
            });
        }
        rc = AfxWinMain(app);
        if (screenshot != nullptr && rc == 0 && !saved) {
            std::fprintf(stderr, "tallyscope: cannot write %s\n", screenshot);
            rc = 1;
        }
    }
    return rc;
}
