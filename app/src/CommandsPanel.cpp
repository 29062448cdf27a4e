#include "app/CommandsPanel.h"

#include <QBrush>
#include <QColor>
#include <QDockWidget>
#include <QHeaderView>
#include <QMainWindow>
#include <QTreeWidget>

namespace {

QString Q(const String& text) { return QString::fromUtf8(text.GetString()); }

// Outcomes an operator must notice stand out by more than colour: their
// text says it, and they are bold.
void Mark(QTreeWidgetItem* item, CommandState state) {
    QColor colour;
    bool bold = false;
    switch (state) {
        case CommandState::Applied: colour = QColor(0x1b, 0x7a, 0x2e); break;
        case CommandState::NotSent:
        case CommandState::SendFailed:
        case CommandState::NotApplied:
            colour = QColor(0xb0, 0x1c, 0x1c);
            bold = true;
            break;
        default: break;
    }
    QFont font = item->font(CCommandsPanel::kState);
    font.setBold(bold);
    item->setFont(CCommandsPanel::kState, font);
    item->setForeground(CCommandsPanel::kState, colour.isValid() ? QBrush(colour) : QBrush());
}

}  // namespace

void CCommandsPanel::Create(QMainWindow* window) {
    m_dock = new QDockWidget(QStringLiteral("Commands"), window);
    m_dock->setObjectName(QStringLiteral("commands"));
    m_table = new QTreeWidget(m_dock);
    m_table->setObjectName(QStringLiteral("commandsTable"));
    m_table->setRootIsDecorated(false);
    m_table->setUniformRowHeights(true);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setHeaderLabels({QStringLiteral("Time"), QStringLiteral("Studio"), QStringLiteral("Playlist"),
                              QStringLiteral("Event"), QStringLiteral("Title"), QStringLiteral("Command"),
                              QStringLiteral("New server"), QStringLiteral("State")});
    m_table->header()->setStretchLastSection(true);
    m_dock->setWidget(m_table);
    window->addDockWidget(Qt::BottomDockWidgetArea, m_dock);
    m_dock->hide();
}

void CCommandsPanel::Show(const CommandRecord& record) {
    if (m_table == nullptr || record.number < 1) return;
    const int row = record.number - 1;
    QTreeWidgetItem* item = m_table->topLevelItem(row);
    if (item == nullptr) {
        // Records come in order; a gap would mean one was missed.
        while (m_table->topLevelItemCount() < row) m_table->addTopLevelItem(new QTreeWidgetItem);
        item = new QTreeWidgetItem;
        m_table->addTopLevelItem(item);
        item->setText(kTime, record.given.toString(QStringLiteral("HH:mm:ss")));
        item->setText(kStudio, Q(record.studio));
        item->setText(kPlaylist, Q(record.playlist));
        item->setText(kEvent, Q(record.eventId));
        item->setText(kTitle, Q(record.title));
        item->setText(kCommand, CommandKindName(record.kind));
        item->setText(kNewServer, record.kind == CommandKind::ServerChange ? Q(record.newServer) : QString());
        for (int c = 0; c < kColumns; ++c) item->setToolTip(c, item->text(c));
        m_table->scrollToItem(item);
    }
    QString state = CommandStateText(record);
    if (record.state == CommandState::Applied && record.roundTripMs >= 0) state += " (" + RoundTripText(record) + ")";
    item->setText(kState, state);
    item->setToolTip(kState, state);
    Mark(item, record.state);
}

bool CCommandsPanel::IsVisible() const { return m_dock != nullptr && !m_dock->isHidden(); }

void CCommandsPanel::SetVisible(bool visible) {
    if (m_dock != nullptr) m_dock->setVisible(visible);
}

int CCommandsPanel::RowCount() const { return m_table != nullptr ? m_table->topLevelItemCount() : 0; }

QString CCommandsPanel::Text(int row, int column) const {
    if (m_table == nullptr) return QString();
    const QTreeWidgetItem* item = m_table->topLevelItem(row);
    return item != nullptr ? item->text(column) : QString();
}
