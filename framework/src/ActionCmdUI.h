// The command-UI state of one QAction (a toolbar button or a menu item).
// Setters change the action only when the value differs, so an idle pass
// that repeats them posts no repaint. GUI thread only.
#pragma once

#include <QAction>
#include <QString>

#include "framework/CmdTarget.h"

class ActionCmdUI : public CCmdUI {
public:
    // takesText: menu items show SetText; toolbar buttons keep their own.
    ActionCmdUI(QAction* action, bool takesText) : action_(action), takesText_(takesText) {}
    void Enable(bool on) override {
        CCmdUI::Enable(on);
        if (action_->isEnabled() != on) action_->setEnabled(on);
    }
    void SetCheck(int check) override {
        if (!action_->isCheckable()) action_->setCheckable(true);
        if (action_->isChecked() != (check != 0)) action_->setChecked(check != 0);
    }
    void SetText(const char* text) override {
        if (!takesText_) return;
        const QString t = QString::fromUtf8(text != nullptr ? text : "");
        if (action_->text() != t) action_->setText(t);
    }

private:
    QAction* action_;
    bool takesText_;
};
