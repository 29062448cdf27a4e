// CCommandsPanel: the dockable "Commands" panel of the main window (View >
// Commands). One row per trigger command of this run, in the order given:
// time, studio, playlist, event id and title, the command, the new server
// and its state, the newest at the bottom and kept in view.
//
// GUI thread only. The dock and its table belong to the main window.
#pragma once

#include "app/CommandJournal.h"

class QDockWidget;
class QMainWindow;
class QTreeWidget;

class CCommandsPanel {
public:
    enum Column { kTime, kStudio, kPlaylist, kEvent, kTitle, kCommand, kNewServer, kState, kColumns };

    // Makes the dock (hidden) at the bottom of window.
    void Create(QMainWindow* window);
    // Adds the record's row, or updates it when it is there.
    void Show(const CommandRecord& record);

    bool IsVisible() const;
    void SetVisible(bool visible);
    QDockWidget* Dock() const { return m_dock; }
    QTreeWidget* Table() const { return m_table; }
    int RowCount() const;
    // The text of a cell ("" outside the table).
    QString Text(int row, int column) const;

private:
    QDockWidget* m_dock = nullptr;   // owned by the main window
    QTreeWidget* m_table = nullptr;  // owned by the dock
};
