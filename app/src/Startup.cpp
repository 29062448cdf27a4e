#include "app/Startup.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QStringList>
#include <QPixmap>
#include <QWidget>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "app/AppResources.h"
#include "app/MainFrm.h"
#include "app/OperatorLog.h"
#include "app/SessionDocManager.h"
#include "app/TallyscopeApp.h"
#include "tarn/CrashLog.h"

namespace {

constexpr const char* kProgram = "tallyscope";

void PrintUsage() {
    std::fputs(
        "Usage: tallyscope [OPTION]...\n"
        "Monitors, live, the playlists a broadcast studio is playing out, through an\n"
        "aggregation server. File > Open starts the session with the server named in\n"
        "the configuration.\n"
        "\n"
        "  -h, --help                show this help and exit\n"
        "      --version             show version information and exit\n"
        "      --connect             connect to the server at start-up (as File > Open)\n"
        "      --studio=NAME         choose the studio NAME without asking; with\n"
        "                            --connect, keep trying until the server answers\n"
        "      --screenshot=FILE     save the main window as a PNG image, then exit\n"
        "                            (after SECONDS with --quit-after, else at once)\n"
        "      --quit-after=SECONDS  exit after that many seconds (0 to 86400)\n"
        "      --wall                a wall display: full screen, no toolbar, the\n"
        "                            playlist windows tiled\n"
        "      --screen=N            with --wall, the screen to fill (0 is the first;\n"
        "                            the primary screen when there is no screen N)\n"
        "\n"
        "Values may also follow as the next argument (--studio NAME).\n"
        "\n"
        "The configuration file is named by the machine-wide settings file\n"
        "Corvane/TarnTallyscope.conf in the first folder of XDG_CONFIG_DIRS\n"
        "(default /etc/xdg):\n"
        "\n"
        "  [General]\n"
        "  Config=/etc/tallyscope/config.xml\n"
        "\n"
        "Exit status: 0 when the viewer ends normally, 1 when the screenshot cannot\n"
        "be written, 2 for a bad command line.\n"
        "\n"
        "Full documentation: man tallyscope (the README of the source tree too).\n",
        stdout);
}

void PrintVersion() {
    std::printf(
        "%s %s\n"
        "Copyright (C) 2026 Corvane.\n"
        "Proprietary software: use it under your licence agreement with Corvane.\n",
        kProgram, kTallyscopeVersion);
}

// Says what is wrong with the command line the GNU way; exit status 2.
int BadCommandLine(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, message.c_str(), kProgram);
    return 2;
}

struct StartupOptions {
    bool connect = false;
    bool hasStudio = false;
    std::string studio;
    bool hasScreenshot = false;
    std::string screenshot;
    double quitAfter = -1;  // below 0: no time limit
    bool wall = false;
    int screen = -1;  // below 0: the primary screen
};

// Reads the command line before any QApplication exists, so that --help and
// --version need no display. Returns -1 to go on, else the exit status.
int ParseStartupOptions(int argc, char** argv, StartupOptions& out) {
    QStringList args;
    for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    if (args.isEmpty()) args << QString::fromLatin1(kProgram);

    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption connect(QStringLiteral("connect"));
    const QCommandLineOption studio(QStringLiteral("studio"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption screenshot(QStringLiteral("screenshot"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption quitAfter(QStringLiteral("quit-after"), QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption wall(QStringLiteral("wall"));
    const QCommandLineOption screenNumber(QStringLiteral("screen"), QString(), QStringLiteral("N"));
    QCommandLineParser parser;
    parser.addOptions({help, version, connect, studio, screenshot, quitAfter, wall, screenNumber});
    if (!parser.parse(args)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            // The parser drops the dashes: "--x" and "-x" both come back as "x".
            const QString& name = unknown.front();
            const QString longForm = QStringLiteral("--") + name;
            bool isLong = false;
            for (const QString& arg : args) isLong = isLong || arg == longForm || arg.startsWith(longForm + '=');
            const QString dashed = isLong ? longForm : QStringLiteral("-") + name;
            return BadCommandLine("unknown option '" + dashed.toStdString() + "'");
        }
        // "Missing value after '--studio'." and the like, in our own case.
        std::string why = parser.errorText().toStdString();
        if (!why.empty() && why.back() == '.') why.pop_back();
        if (!why.empty()) why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
        return BadCommandLine(why);
    }
    if (parser.isSet(help)) {
        PrintUsage();
        return 0;
    }
    if (parser.isSet(version)) {
        PrintVersion();
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return BadCommandLine("unexpected argument '" + parser.positionalArguments().front().toStdString() + "'");

    // The last of a repeated option counts.
    out.connect = parser.isSet(connect);
    out.hasStudio = parser.isSet(studio);
    if (out.hasStudio) out.studio = parser.value(studio).toStdString();
    out.hasScreenshot = parser.isSet(screenshot);
    if (out.hasScreenshot) out.screenshot = parser.value(screenshot).toStdString();
    if (parser.isSet(quitAfter)) {
        const std::string text = parser.value(quitAfter).toStdString();
        char* end = nullptr;
        out.quitAfter = std::strtod(text.c_str(), &end);
        if (text.empty() || end == nullptr || *end != '\0' || !(out.quitAfter >= 0 && out.quitAfter <= 86400))
            return BadCommandLine("--quit-after takes a number of seconds (0 to 86400)");
    }
    out.wall = parser.isSet(wall);
    if (parser.isSet(screenNumber)) {
        bool ok = false;
        out.screen = parser.value(screenNumber).toInt(&ok);
        if (!ok || out.screen < 0 || out.screen > 63) return BadCommandLine("--screen takes a screen number (0 to 63)");
        if (!out.wall) return BadCommandLine("--screen needs --wall");
    }
    return -1;
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
    const QString folder = TallyscopeStateFolder();
    if (!folder.isEmpty() && QFileInfo(folder).isDir()) tarn::setCrashLogFolder(folder.toStdString());
}

// The session's unattended start: the studio named on the command line,
// and with --connect a server that is down is tried again until it is up.
void PresetSession(CTallyscopeApp& app, const StartupOptions& options) {
    if (!options.hasStudio) return;
    if (CSessionDocManager* manager = SessionManagerOf(app)) {
        manager->GetSettings().hasPresetStudio = true;
        manager->GetSettings().presetStudio = options.studio.c_str();
        manager->GetSettings().retryOpenUntilUp = options.connect;
    }
}

// The steps that run once the loop runs, in this order: the wall layout, the
// Open, and the screenshot or the quit. saved tells whether the screenshot
// was written.
void ScheduleStartupSteps(QApplication& qapp, CTallyscopeApp& app, const StartupOptions& options, bool& saved) {
    if (options.wall) {
        QTimer::singleShot(0, &qapp, [&app, n = options.screen] {
            CMainFrame* frame = app.GetMainFrame();
            if (frame == nullptr) return;
            const QList<QScreen*> screens = QGuiApplication::screens();
            if (n >= static_cast<int>(screens.size()))
                std::fprintf(stderr, "tallyscope: there is no screen %d; using the primary screen\n", n);
            frame->EnterWallMode(n >= 0 && n < static_cast<int>(screens.size()) ? screens[n] : nullptr);
        });
    }
    if (options.connect) {
        // The main window is up first; the Open never holds the loop, so the
        // window paints while it waits.
        QTimer::singleShot(0, &qapp, [&app] {
            if (CMainFrame* frame = app.GetMainFrame(); frame != nullptr && frame->m_hWnd->isVisible())
                frame->m_hWnd->repaint();
            app.OnFileOpen();
        });
    }
    if (options.hasScreenshot || options.quitAfter >= 0) {
        // By default after the first idle passes have set the toolbar and panes.
        const int ms = options.quitAfter >= 0 ? static_cast<int>(options.quitAfter * 1000) : 500;
        const std::string screenshot = options.hasScreenshot ? options.screenshot : std::string();
        QTimer::singleShot(ms, &qapp, [&app, &saved, screenshot] {
            CMainFrame* frame = app.GetMainFrame();
            if (frame != nullptr && !screenshot.empty())
                saved = frame->m_hWnd->grab().save(QString::fromLocal8Bit(screenshot.c_str()), "PNG");
            if (frame != nullptr) {
                frame->OnClose();
            } else {
                QCoreApplication::quit();
            }
        });
    }
}

}  // namespace

int TallyscopeMain(int argc, char** argv) {
    // A peer that goes away must never end the process.
    std::signal(SIGPIPE, SIG_IGN);

    StartupOptions options;
    if (const int rc = ParseStartupOptions(argc, argv, options); rc >= 0) return rc;

    SetUpCrashLog();
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tallyscope"));
    QApplication::setApplicationVersion(QString::fromLatin1(kTallyscopeVersion));
    int rc = 0;
    {
        CTallyscopeApp app;
        PresetSession(app, options);
        bool saved = false;
        ScheduleStartupSteps(qapp, app, options, saved);
        rc = AfxWinMain(app);
        if (options.hasScreenshot && rc == 0 && !saved) {
            std::fprintf(stderr, "tallyscope: cannot write %s\n", options.screenshot.c_str());
            rc = 1;
        }
    }
    return rc;
}
