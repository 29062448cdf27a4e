#include "framework/CmdTarget.h"

#include <exception>

void CCmdUI::Enable(bool on) {
    m_bEnabled = on;
    m_bEnableChanged = true;
}

void CCmdUI::SetCheck(int) {}

void CCmdUI::SetText(const char*) {}

bool CCmdUI::DoUpdate(CCmdTarget* target, bool disableIfNoHandler) {
    m_bEnableChanged = false;
    if (target == nullptr) return false;
    const bool updated = target->OnCmdMsg(m_nID, CmdKind::UpdateUI, this);
    if (disableIfNoHandler && !m_bEnableChanged) Enable(target->OnCmdMsg(m_nID, CmdKind::Probe, this));
    return updated;
}

void CCmdTarget::MapCommand(UINT id, std::function<void()> handler) {
    MapCommandRange(id, id, [run = std::move(handler)](UINT) { run(); });
}

void CCmdTarget::MapCommandRange(UINT first, UINT last, std::function<void(UINT)> handler) {
    // The newest entry wins: it goes in front.
    commands_.insert(commands_.begin(), CommandEntry{first, last, std::move(handler)});
}

void CCmdTarget::MapCommandUI(UINT id, std::function<void(CCmdUI*)> handler) {
    MapCommandUIRange(id, id, std::move(handler));
}

void CCmdTarget::MapCommandUIRange(UINT first, UINT last, std::function<void(CCmdUI*)> handler) {
    updates_.insert(updates_.begin(), UpdateEntry{first, last, std::move(handler)});
}

const CCmdTarget::CommandEntry* CCmdTarget::FindCommand(UINT id) const {
    for (const auto& e : commands_)
        if (id >= e.first && id <= e.last) return &e;
    return nullptr;
}

const CCmdTarget::UpdateEntry* CCmdTarget::FindUpdate(UINT id) const {
    for (const auto& e : updates_)
        if (id >= e.first && id <= e.last) return &e;
    return nullptr;
}

bool CCmdTarget::DispatchOwn(UINT id, CmdKind kind, CCmdUI* ui) {
    switch (kind) {
        case CmdKind::Execute:
            if (const CommandEntry* e = FindCommand(id)) {
                // Copy: the handler may change this target's map or delete it.
                auto run = e->run;
                run(id);
                return true;
            }
            return false;
        case CmdKind::UpdateUI:
            if (const UpdateEntry* e = FindUpdate(id)) {
                if (ui != nullptr) {
                    auto run = e->run;
                    run(ui);
                }
                return true;
            }
            return false;
        case CmdKind::Probe: return FindCommand(id) != nullptr;
    }
    return false;
}

bool CCmdTarget::OnCmdMsg(UINT id, CmdKind kind, CCmdUI* ui) { return DispatchOwn(id, kind, ui); }

bool AfxIsCommandEnabled(CCmdTarget* target, UINT id) {
    CCmdUI state;
    state.m_nID = id;
    state.DoUpdate(target, true);
    return state.m_bEnabled;
}

bool AfxExecuteCommand(CCmdTarget* target, UINT id) {
    if (target == nullptr) return false;
    try {
        if (!AfxIsCommandEnabled(target, id)) return false;
        return target->OnCmdMsg(id, CmdKind::Execute, nullptr);
    } catch (const std::exception& e) {
        AfxMessageBox(e.what(), MB_OK | MB_ICONEXCLAMATION);
    } catch (...) {
        AfxMessageBox("The command failed with an unknown error.", MB_OK | MB_ICONEXCLAMATION);
    }
    return true;
}
