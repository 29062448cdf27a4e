#include "app/Startup.h"

#include <QApplication>
#include <QPixmap>
#include <QWidget>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/AppResources.h"
#include "app/MainFrm.h"
#include "app/TallyscopeApp.h"

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: tallyscope [--help] [--version] [--screenshot FILE]\n"
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
                 "  --screenshot FILE  start, save the main window as a PNG image, exit\n");
}

}  // namespace

int TallyscopeMain(int argc, char** argv) {
    // A peer that goes away must never end the process.
    std::signal(SIGPIPE, SIG_IGN);

    const char* screenshot = nullptr;
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
        std::fprintf(stderr, "tallyscope: unknown option %s\n\n", argv[i]);
        PrintUsage(stderr);
        return 2;
    }

    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tallyscope"));
    QApplication::setApplicationVersion(QString::fromLatin1(kTallyscopeVersion));
    int rc = 0;
    {
        CTallyscopeApp app;
        bool saved = false;
        if (screenshot != nullptr) {
            // After the first idle passes have set the toolbar and panes.
            QTimer::singleShot(500, &qapp, [&app, &saved, screenshot] {
                if (CMainFrame* frame = app.GetMainFrame()) {
                    saved = frame->m_hWnd->grab().save(QString::fromLocal8Bit(screenshot), "PNG");
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
