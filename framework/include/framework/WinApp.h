// CWinApp: the application object, with idle processing, the document
// manager, the recent-file list and the application-level commands.
//
// One application object exists at a time, made after the QApplication and
// destroyed before it. Construction sets LC_NUMERIC back to "C" (QApplication
// applies the user's locale, and number parsing must not follow it).
//
// Idle processing: whenever the top-level event loop (loop level 1: the
// application's exec, or the outermost QEventLoop of a test) is about to
// block, the framework calls OnIdle(0), OnIdle(1), ... while it returns true
// (at most kMaxIdlePasses per block). Never from a nested loop (modal dialog,
// message box) and never re-entrantly. Exceptions from OnIdle are caught and
// logged. An idle pass must set a widget only when its value changes: every
// change posts a repaint, which wakes the loop, which runs idle again.
//
// GUI thread only, except AfxWakeGui (Afx.h).
#pragma once

#include <memory>
#include <vector>

#include "framework/CmdTarget.h"

class CDocManager;
class CDocTemplate;
class CDocument;
class CFrameWnd;
class CRecentFileList;
class CWnd;
class QIcon;
class CHttpFetcher;

class CWinApp : public CCmdTarget {
public:
    static constexpr long kMaxIdlePasses = 64;

    // appName null: the program's name from QCoreApplication. Throws
    // std::logic_error without a QApplication or when another application
    // object exists.
    explicit CWinApp(const char* appName = nullptr);
    // Destroys the main window and closes every document still open, then
    // deletes the document manager.
    ~CWinApp() override;

    virtual bool InitInstance();
    virtual int ExitInstance();
    // Runs the top-level event loop until quit; returns ExitInstance().
    virtual int Run();
    // The base updates the main frame (toolbar, status bar, title) at count 0
    // and returns true; from count 1 it returns false.
    virtual bool OnIdle(long count);

    String m_pszAppName;
    String m_pszRegistryKey;               // company name for the user settings
    CWnd* m_pMainWnd = nullptr;            // deletes itself when destroyed
    CDocManager* m_pDocManager = nullptr;  // owned; made by the first AddDocTemplate
    int m_nCmdShow = SW_SHOWDEFAULT;

    // Where the user settings live: organisation `company`, application
    // m_pszAppName, user scope.
    void SetRegistryKey(const char* company);
    // Reads the recent-file list (maxMRU entries, 0 for none).
    void LoadStdProfileSettings(UINT maxMRU = 4);
    // Takes ownership of the template; the first call makes the document
    // manager with CreateDocManager (unless m_pDocManager was set).
    void AddDocTemplate(CDocTemplate* docTemplate);
    virtual CDocument* OpenDocumentFile(const char* fileName);
    virtual void AddToRecentFileList(const char* pathName);
    CRecentFileList* GetRecentFileList() const { return recentFiles_.get(); }

    // User settings, in the scope named by SetRegistryKey.
    String GetProfileString(const char* section, const char* entry, const char* defaultValue = "") const;
    bool WriteProfileString(const char* section, const char* entry, const char* value);

    bool SaveAllModified();
    void CloseAllDocuments(bool endSession);
    int GetOpenDocumentCount() const;

    // The application's background HTTP fetcher, made on first use; it goes
    // after the documents, so a document may cancel its fetch as it closes.
    CHttpFetcher& GetHttpFetcher();

    // Idle passes run so far (all counts); for tests and diagnostics.
    long IdlePassesRun() const { return idlePasses_; }

    // Command handlers of the application's map (ID_FILE_NEW, ID_FILE_OPEN,
    // ID_APP_EXIT, recent files). Public so that derived maps can reuse them.
    void OnFileNew();
    void OnFileOpen();
    void OnAppExit();
    bool OnOpenRecentFile(UINT id);

    // The framework's idle hook, called by the event-loop driver.
    void RunIdle();

protected:
    // Makes the document manager for the first template: the base makes a
    // plain CDocManager; an application with its own manager overrides this.
    virtual CDocManager* CreateDocManager();

private:
    class Driver;
    std::unique_ptr<Driver> driver_;
    std::unique_ptr<CRecentFileList> recentFiles_;
    std::unique_ptr<CHttpFetcher> fetcher_;
    bool inIdle_ = false;
    long idlePasses_ = 0;
    int exitCode_ = 0;
};

// The framework's start: InitInstance, then Run when it succeeded. Returns
// the exit code (ExitInstance's result, or -1 when InitInstance failed). On
// failure the main window, if any, is destroyed.
int AfxWinMain(CWinApp& app);

// The recent-file list: most recent first, no duplicates, at most
// GetSize() entries, kept in the user settings under "Recent File List" as
// "File1", "File2", ...
class CRecentFileList {
public:
    CRecentFileList(const char* section, int size);
    void Add(const char* pathName);
    void Remove(int index);
    int GetSize() const { return size_; }
    int GetCount() const { return static_cast<int>(names_.size()); }
    const String& operator[](int index) const { return names_.at(static_cast<size_t>(index)); }
    void ReadList();
    void WriteList() const;

private:
    String section_;
    int size_;
    std::vector<String> names_;
};
