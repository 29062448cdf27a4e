// The status bar's stretching message pane: a long message is elided to the
// pane's width and never widens the main window; the full text stays the
// pane's text and its tool tip.
#include <QLabel>
#include <QMainWindow>
#include <QStatusBar>
#include <QTest>
#include <string>

#include "TestClasses.h"

using namespace fwtest;
using guitest::RunLoopFor;
using guitest::RunLoopUntil;

namespace {

const QChar kEllipsis(0x2026);

std::string LongMessage() {
    std::string text = "Failed to refresh";
    for (int i = 0; text.size() < 300; ++i) text += " playlist-" + std::to_string(i);
    return text.substr(0, 300);
}

// Everything the pane's label shows fits inside it.
bool ShownTextFits(const QLabel* label) {
    return label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width();
}

}  // namespace

TEST_F(FrameworkTest, ALongMessageIsElidedAndLeavesTheWindowsWidth) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    QMainWindow* window = app.Frame()->GetMainWindow();
    window->resize(640, 400);
    RunLoopFor(30);
    const int width = window->width();
    CStatusBar& bar = app.Frame()->statusBar;
    QLabel* message = bar.GetPaneTextLabel(0);
    QLabel* last = bar.GetPaneTextLabel(3);
    const int lastWidth = bar.GetPaneWidth(3);
    EXPECT_EQ(message->text(), QStringLiteral("Ready"));
    EXPECT_TRUE(message->toolTip().isEmpty());  // it fits

    const std::string text = LongMessage();
    ASSERT_EQ(text.size(), 300u);
    ASSERT_TRUE(bar.SetPaneText(0, text.c_str()));
    RunLoopFor(50);  // layout requests are posted
    EXPECT_EQ(window->width(), width);
    EXPECT_LE(window->minimumSizeHint().width(), width);
    EXPECT_EQ(std::string(bar.GetPaneText(0)), text);
    EXPECT_EQ(std::string(bar.GetPaneDisplayText(0)), text);
    EXPECT_EQ(message->toolTip().toStdString(), text);
    EXPECT_TRUE(message->text().endsWith(kEllipsis)) << message->text().toStdString();
    EXPECT_LT(message->text().size(), 300);
    EXPECT_TRUE(ShownTextFits(message));
    // The other panes keep their widths and stay inside the window.
    EXPECT_EQ(bar.GetPaneWidth(3), lastWidth);
    EXPECT_TRUE(last->isVisible());
    EXPECT_LE(last->mapTo(window, QPoint(last->width(), 0)).x(), width);
    EXPECT_EQ(last->text(), QStringLiteral("pane free"));

    // A wider window shows more of the text, a narrower one less.
    const qsizetype shownAt640 = message->text().size();
    window->resize(1000, 400);
    ASSERT_TRUE(RunLoopUntil([&] { return message->text().size() > shownAt640; }, 2000));
    EXPECT_TRUE(message->text().endsWith(kEllipsis));
    EXPECT_TRUE(ShownTextFits(message));
    window->resize(400, 400);
    ASSERT_TRUE(RunLoopUntil([&] { return message->text().size() < shownAt640; }, 2000));
    EXPECT_TRUE(ShownTextFits(message));
    EXPECT_EQ(window->width(), 400);

    // A text that fits is shown whole, without a tool tip; a disabled pane
    // shows nothing.
    ASSERT_TRUE(bar.SetPaneText(0, "Not connected"));
    EXPECT_EQ(message->text(), QStringLiteral("Not connected"));
    EXPECT_TRUE(message->toolTip().isEmpty());
    bar.SetPaneText(0, text.c_str());
    bar.SetPaneStyle(0, bar.GetPaneStyle(0) | SBPS_DISABLED);
    EXPECT_EQ(std::string(bar.GetPaneDisplayText(0)), "");
    EXPECT_TRUE(message->text().isEmpty());
    EXPECT_TRUE(message->toolTip().isEmpty());
    bar.SetPaneStyle(0, bar.GetPaneStyle(0) & ~SBPS_DISABLED);
    EXPECT_EQ(message->toolTip().toStdString(), text);

    // A message of Qt's own in the status bar blanks no pane.
    window->statusBar()->showMessage(QString::fromStdString(text));
    RunLoopFor(20);
    EXPECT_EQ(window->width(), 400);
    EXPECT_EQ(std::string(bar.GetPaneDisplayText(0)), text);
    EXPECT_TRUE(last->isVisible());
    window->statusBar()->clearMessage();
}

TEST_F(FrameworkTest, APaneCarriesItsOwnTipAndAClickOnItCallsItsHandler) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    QMainWindow* window = app.Frame()->GetMainWindow();
    window->resize(640, 400);
    window->show();
    RunLoopFor(30);
    CStatusBar& bar = app.Frame()->statusBar;
    ASSERT_TRUE(bar.SetPaneTip(3, "line one\nline two"));
    EXPECT_EQ(std::string(bar.GetPaneTip(3)), "line one\nline two");
    EXPECT_EQ(bar.GetPaneWidget(3)->toolTip(), QStringLiteral("line one\nline two"));
    EXPECT_FALSE(bar.SetPaneTip(99, "x"));
    EXPECT_EQ(bar.GetPaneWidget(99), nullptr);

    int clicks = 0;
    ASSERT_TRUE(bar.SetPaneClickHandler(3, [&] { ++clicks; }));
    // A click on the pane's text reaches the pane.
    QTest::mouseClick(bar.GetPaneTextLabel(3), Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    QTest::mouseClick(bar.GetPaneWidget(3), Qt::LeftButton);
    EXPECT_EQ(clicks, 2);
    // Other buttons and other panes do nothing.
    QTest::mouseClick(bar.GetPaneWidget(3), Qt::RightButton);
    QTest::mouseClick(bar.GetPaneWidget(2), Qt::LeftButton);
    EXPECT_EQ(clicks, 2);
    // A new handler replaces the old; an empty one removes it.
    int others = 0;
    ASSERT_TRUE(bar.SetPaneClickHandler(3, [&] { ++others; }));
    QTest::mouseClick(bar.GetPaneWidget(3), Qt::LeftButton);
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(others, 1);
    ASSERT_TRUE(bar.SetPaneClickHandler(3, {}));
    QTest::mouseClick(bar.GetPaneWidget(3), Qt::LeftButton);
    EXPECT_EQ(others, 1);
}
