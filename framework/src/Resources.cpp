#include "framework/Resources.h"

#include <QIcon>
#include <cstring>
#include <map>

namespace {

// The tables, filled by the application at start-up. GUI thread only.
struct Tables {
    std::map<UINT, String> strings;
    std::map<UINT, String> icons;
    std::map<UINT, CMenuResource> menus;
    std::map<UINT, std::vector<CAccelResource>> accelerators;
    std::map<UINT, CToolBarResource> toolbars;
    std::map<UINT, CDialogResource> dialogs;
};

void AddFrameworkStrings(Tables& t) {
    t.strings[AFX_IDS_IDLEMESSAGE] = "Ready";
    t.strings[AFX_IDS_UNTITLED] = "Untitled";
    t.strings[AFX_IDP_FAILED_TO_OPEN_DOC] = "Failed to open document.";
    t.strings[AFX_IDP_FAILED_TO_SAVE_DOC] = "Failed to save document.";
    t.strings[AFX_IDP_FAILED_TO_CREATE_DOC] = "Failed to create empty document.";
    t.strings[ID_INDICATOR_CAPS] = "CAP";
    t.strings[ID_INDICATOR_NUM] = "NUM";
    t.strings[ID_INDICATOR_SCRL] = "SCRL";
}

Tables& GetTables() {
    static Tables* tables = [] {
        auto* t = new Tables;
        AddFrameworkStrings(*t);
        return t;
    }();
    return *tables;
}

}  // namespace

void AfxSetResourceString(UINT id, const char* text) { GetTables().strings[id] = text; }

String AfxLoadString(UINT id) {
    const auto& strings = GetTables().strings;
    auto it = strings.find(id);
    return it != strings.end() ? it->second : String();
}

bool AfxHasResourceString(UINT id) { return GetTables().strings.count(id) != 0; }

String AfxExtractSubString(const String& full, int index) {
    const char* p = full.GetString();
    for (int i = 0; i < index; ++i) {
        const char* nl = std::strchr(p, '\n');
        if (nl == nullptr) return String();
        p = nl + 1;
    }
    const char* end = std::strchr(p, '\n');
    return end != nullptr ? String(p, static_cast<int>(end - p)) : String(p);
}

void AfxSetResourceIcon(UINT id, const char* path) { GetTables().icons[id] = path; }

QIcon AfxLoadIcon(UINT id) {
    const auto& icons = GetTables().icons;
    auto it = icons.find(id);
    if (it == icons.end()) return QIcon();
    // "a.png;a-large.png": one icon in several sizes; each view takes the
    // size nearest to what it draws.
    QIcon icon;
    for (const QString& file : QString::fromUtf8(it->second.GetString()).split(QChar(';'), Qt::SkipEmptyParts))
        icon.addFile(file);
    return icon;
}

bool AfxHasResourceIcon(UINT id) { return GetTables().icons.count(id) != 0; }

void AfxSetResourceMenu(UINT id, CMenuResource menu) { GetTables().menus[id] = std::move(menu); }

const CMenuResource* AfxFindResourceMenu(UINT id) {
    const auto& menus = GetTables().menus;
    auto it = menus.find(id);
    return it != menus.end() ? &it->second : nullptr;
}

void AfxSetResourceAccelerators(UINT id, std::vector<CAccelResource> table) {
    GetTables().accelerators[id] = std::move(table);
}

const std::vector<CAccelResource>* AfxFindResourceAccelerators(UINT id) {
    const auto& accelerators = GetTables().accelerators;
    auto it = accelerators.find(id);
    return it != accelerators.end() ? &it->second : nullptr;
}

void AfxSetResourceToolBar(UINT id, CToolBarResource toolbar) { GetTables().toolbars[id] = std::move(toolbar); }

const CToolBarResource* AfxFindResourceToolBar(UINT id) {
    const auto& toolbars = GetTables().toolbars;
    auto it = toolbars.find(id);
    return it != toolbars.end() ? &it->second : nullptr;
}

void AfxSetResourceDialog(UINT id, CDialogResource dialog) { GetTables().dialogs[id] = std::move(dialog); }

const CDialogResource* AfxFindResourceDialog(UINT id) {
    const auto& dialogs = GetTables().dialogs;
    auto it = dialogs.find(id);
    return it != dialogs.end() ? &it->second : nullptr;
}

void AfxResetResources() {
    Tables& t = GetTables();
    t = Tables();
    AddFrameworkStrings(t);
}
