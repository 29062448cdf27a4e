#include "framework/WinApp.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QSettings>
#include <QThread>
#include <clocale>
#include <mutex>
#include <stdexcept>

#include "Hosts.h"
#include "framework/DocTemplate.h"
#include "framework/FrameWnd.h"
#include "framework/HttpFetcher.h"
#include "framework/Resources.h"

#if defined(__SANITIZE_THREAD__)
// Qt is not built with the thread sanitizer: its own threads (the raster
// painter's pool) synchronise through atomics the sanitizer cannot see, so the
// memory functions Qt calls would be reported against each other. GLib, whose
// main loop Qt's event dispatcher and thread pool use, is the same case.
// Accesses made by our code stay checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n"
           "called_from_lib:libglib-2.0.so.0\n";
}
#endif

namespace {

CWinApp* g_app = nullptr;  // GUI thread only

// The wake target and its pending flag, shared with every thread that wakes
// the GUI. The lock also orders the poster's allocation of the event before
// the GUI thread's deletion of it.
std::mutex g_wakeLock;
QObject* g_wakeTarget = nullptr;  // guarded by g_wakeLock
bool g_wakePending = false;       // guarded by g_wakeLock

QEvent::Type WakeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

}  // namespace

// Connects the application to the GUI thread's event dispatcher and receives
// the wake events. Lives on the GUI thread.
class CWinApp::Driver : public QObject {
public:
    explicit Driver(CWinApp* app) {
        QAbstractEventDispatcher* dispatcher =
            QAbstractEventDispatcher::instance(QCoreApplication::instance()->thread());
        if (dispatcher == nullptr) throw std::logic_error("CWinApp: the GUI thread has no event dispatcher");
        connect(
            dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [app] { app->RunIdle(); }, Qt::DirectConnection);
        WakeEventType();
        std::lock_guard<std::mutex> lock(g_wakeLock);
        g_wakeTarget = this;
        g_wakePending = false;
    }
    ~Driver() override {
        std::lock_guard<std::mutex> lock(g_wakeLock);
        g_wakeTarget = nullptr;
        g_wakePending = false;
    }

protected:
    bool event(QEvent* e) override {
        // The waker made the event under the lock: taking it first orders
        // that allocation before the read of its type.
        std::unique_lock<std::mutex> lock(g_wakeLock);
        if (e->type() == WakeEventType()) {
            // Nothing else to do: the loop now goes round and, about to block
            // again, runs an idle pass.
            g_wakePending = false;
            return true;
        }
        lock.unlock();
        return QObject::event(e);
    }
};

void AfxWakeGui() {
    std::lock_guard<std::mutex> lock(g_wakeLock);
    if (g_wakeTarget == nullptr || g_wakePending) return;
    g_wakePending = true;
    QCoreApplication::postEvent(g_wakeTarget, new QEvent(WakeEventType()));
}

CWinApp* AfxGetApp() { return g_app; }

CWnd* AfxGetMainWnd() { return g_app != nullptr ? g_app->m_pMainWnd : nullptr; }

CWinApp::CWinApp(const char* appName) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        throw std::logic_error("CWinApp: make the QApplication first");
    if (g_app != nullptr) throw std::logic_error("CWinApp: one application object at a time");
    // QApplication took the user's locale; numbers are read and written in C.
    std::setlocale(LC_NUMERIC, "C");
    m_pszAppName =
        appName != nullptr ? String(appName) : String(QCoreApplication::applicationName().toUtf8().constData());
    driver_ = std::make_unique<Driver>(this);
    g_app = this;
    MapCommand(ID_FILE_NEW, &CWinApp::OnFileNew);
    MapCommand(ID_FILE_OPEN, &CWinApp::OnFileOpen);
    MapCommand(ID_APP_EXIT, &CWinApp::OnAppExit);
    MapCommandRange(ID_FILE_MRU_FILE1, ID_FILE_MRU_FILE16, [this](UINT id) { OnOpenRecentFile(id); });
}

CWinApp::~CWinApp() {
    if (m_pDocManager != nullptr) m_pDocManager->CloseAllDocuments(true);
    if (m_pMainWnd != nullptr) m_pMainWnd->DestroyWindow();
    m_pMainWnd = nullptr;
    delete m_pDocManager;
    m_pDocManager = nullptr;
    fetcher_.reset();
    driver_.reset();
    g_app = nullptr;
}

bool CWinApp::InitInstance() { return true; }

CHttpFetcher& CWinApp::GetHttpFetcher() {
    if (!fetcher_) fetcher_ = std::make_unique<CHttpFetcher>();
    return *fetcher_;
}

int CWinApp::ExitInstance() { return exitCode_; }

int CWinApp::Run() {
    exitCode_ = QApplication::exec();
    return ExitInstance();
}

bool CWinApp::OnIdle(long count) {
    if (count <= 0) {
        if (auto* frame = dynamic_cast<CFrameWnd*>(m_pMainWnd)) frame->UpdateCommandUI();
        return true;
    }
    return false;
}

void CWinApp::RunIdle() {
    // Only the top-level loop idles: a modal dialog or message box runs a
    // nested loop (level 2 and up), and processEvents outside any loop is
    // level 0.
    if (inIdle_ || QThread::currentThread()->loopLevel() != 1) return;
    inIdle_ = true;
    AfxGuard("OnIdle", [this] {
        for (long count = 0; count < kMaxIdlePasses; ++count) {
            ++idlePasses_;
            if (!OnIdle(count)) break;
        }
    });
    inIdle_ = false;
}

void CWinApp::SetRegistryKey(const char* company) { m_pszRegistryKey = company != nullptr ? company : ""; }

void CWinApp::LoadStdProfileSettings(UINT maxMRU) {
    if (maxMRU == 0) {
        recentFiles_.reset();
        return;
    }
    const UINT limit = ID_FILE_MRU_FILE16 - ID_FILE_MRU_FILE1 + 1;
    recentFiles_ =
        std::make_unique<CRecentFileList>("Recent File List", static_cast<int>(maxMRU < limit ? maxMRU : limit));
    recentFiles_->ReadList();
}

CDocManager* CWinApp::CreateDocManager() { return new CDocManager; }

void CWinApp::AddDocTemplate(CDocTemplate* docTemplate) {
    if (m_pDocManager == nullptr) m_pDocManager = CreateDocManager();
    m_pDocManager->AddDocTemplate(docTemplate);
}

CDocument* CWinApp::OpenDocumentFile(const char* fileName) {
    return m_pDocManager != nullptr ? m_pDocManager->OpenDocumentFile(fileName) : nullptr;
}

void CWinApp::AddToRecentFileList(const char* pathName) {
    if (recentFiles_ == nullptr || pathName == nullptr || *pathName == '\0') return;
    recentFiles_->Add(pathName);
    recentFiles_->WriteList();
}

namespace {
QSettings UserSettings(const CWinApp& app) {
    const String& org = app.m_pszRegistryKey.IsEmpty() ? app.m_pszAppName : app.m_pszRegistryKey;
    return QSettings(QSettings::UserScope, QString::fromUtf8(org.GetString()),
                     QString::fromUtf8(app.m_pszAppName.GetString()));
}
}  // namespace

String CWinApp::GetProfileString(const char* section, const char* entry, const char* defaultValue) const {
    QSettings settings = UserSettings(*this);
    const QString key = QString::fromUtf8(section) + u'/' + QString::fromUtf8(entry);
    const QVariant v = settings.value(key);
    if (!v.isValid()) return String(defaultValue);
    return String(v.toString().toUtf8().constData());
}

bool CWinApp::WriteProfileString(const char* section, const char* entry, const char* value) {
    QSettings settings = UserSettings(*this);
    const QString key = QString::fromUtf8(section) + u'/' + QString::fromUtf8(entry);
    if (value == nullptr) settings.remove(key);
    else settings.setValue(key, QString::fromUtf8(value));
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool CWinApp::SaveAllModified() { return m_pDocManager == nullptr || m_pDocManager->SaveAllModified(); }

void CWinApp::CloseAllDocuments(bool endSession) {
    if (m_pDocManager != nullptr) m_pDocManager->CloseAllDocuments(endSession);
}

int CWinApp::GetOpenDocumentCount() const {
    return m_pDocManager != nullptr ? m_pDocManager->GetOpenDocumentCount() : 0;
}

void CWinApp::OnFileNew() {
    if (m_pDocManager != nullptr) m_pDocManager->OnFileNew();
}

void CWinApp::OnFileOpen() {
    if (m_pDocManager != nullptr) m_pDocManager->OnFileOpen();
}

void CWinApp::OnAppExit() {
    if (m_pMainWnd != nullptr) m_pMainWnd->OnClose();
    else QCoreApplication::quit();
}

bool CWinApp::OnOpenRecentFile(UINT id) {
    if (recentFiles_ == nullptr) return false;
    const int index = static_cast<int>(id) - ID_FILE_MRU_FILE1;
    if (index < 0 || index >= recentFiles_->GetCount()) return false;
    const String name = (*recentFiles_)[index];
    if (OpenDocumentFile(name) == nullptr) {
        recentFiles_->Remove(index);
        recentFiles_->WriteList();
    }
    return true;
}

int AfxWinMain(CWinApp& app) {
    bool started = false;
    AfxGuard("InitInstance", [&] { started = app.InitInstance(); });
    if (!started) {
        if (app.m_pMainWnd != nullptr) app.m_pMainWnd->DestroyWindow();
        app.ExitInstance();
        return 1;
    }
    return app.Run();
}

CRecentFileList::CRecentFileList(const char* section, int size) : section_(section), size_(size < 1 ? 1 : size) {}

void CRecentFileList::Add(const char* pathName) {
    if (pathName == nullptr || *pathName == '\0') return;
    const String name(pathName);
    for (size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == name) {
            names_.erase(names_.begin() + static_cast<long>(i));
            break;
        }
    }
    names_.insert(names_.begin(), name);
    if (names_.size() > static_cast<size_t>(size_)) names_.resize(static_cast<size_t>(size_));
}

void CRecentFileList::Remove(int index) {
    if (index >= 0 && index < GetCount()) names_.erase(names_.begin() + index);
}

void CRecentFileList::ReadList() {
    names_.clear();
    CWinApp* app = AfxGetApp();
    if (app == nullptr) return;
    for (int i = 1; i <= size_; ++i) {
        String entry;
        entry.Format("File%d", i);
        const String value = app->GetProfileString(section_, entry, "");
        if (!value.IsEmpty()) names_.push_back(value);
    }
}

void CRecentFileList::WriteList() const {
    CWinApp* app = AfxGetApp();
    if (app == nullptr) return;
    for (int i = 1; i <= size_; ++i) {
        String entry;
        entry.Format("File%d", i);
        const bool present = static_cast<size_t>(i) <= names_.size();
        app->WriteProfileString(section_, entry, present ? names_[static_cast<size_t>(i - 1)].GetString() : nullptr);
    }
}
