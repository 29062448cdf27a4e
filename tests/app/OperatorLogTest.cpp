// The operator's log: one well-formed JSON object per line, rotation that
// keeps five files, and a log that cannot be written never stops anything.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <string>
#include <vector>

#include "app/OperatorLog.h"

namespace {

std::vector<QJsonObject> ReadLines(const QString& path, bool* wellFormed) {
    std::vector<QJsonObject> lines;
    *wellFormed = true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return lines;
    const QList<QByteArray> raw = file.readAll().split('\n');
    for (int i = 0; i < raw.size(); ++i) {
        if (i == raw.size() - 1 && raw[i].isEmpty()) break;  // after the last line end
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(raw[i], &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) *wellFormed = false;
        lines.push_back(doc.object());
    }
    return lines;
}

}  // namespace

TEST(OperatorLog, EachEntryIsOneFlushedLineWithTimeHostAndUser) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + "/sub/operator.log";
    COperatorLog log(path);
    // Values an operator may type: quotes, a line end, non-ASCII text.
    ASSERT_TRUE(log.Append(QJsonObject{{"type", "command"}, {"title", "Weather \"&\"\nTraffic \u00e9"}}));
    ASSERT_TRUE(log.Append(QJsonObject{{"type", "link"}, {"state", "down"}}));
    bool wellFormed = false;
    // Read while the log is still open: each line is on disk already.
    const std::vector<QJsonObject> lines = ReadLines(path, &wellFormed);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(wellFormed);
    EXPECT_EQ(lines[0]["title"].toString(), QString::fromUtf8("Weather \"&\"\nTraffic \u00e9"));
    EXPECT_EQ(lines[1]["state"].toString(), "down");
    for (const QJsonObject& line : lines) {
        const QDateTime time = QDateTime::fromString(line["time"].toString(), Qt::ISODateWithMs);
        EXPECT_TRUE(time.isValid()) << line["time"].toString().toStdString();
        EXPECT_EQ(time.timeSpec(), Qt::UTC);
        EXPECT_TRUE(line["time"].toString().endsWith("Z"));
        EXPECT_FALSE(line["host"].toString().isEmpty());
        EXPECT_FALSE(line["user"].toString().isEmpty());
    }
    EXPECT_EQ(log.LinesWritten(), 2);
}

TEST(OperatorLog, RotationKeepsFiveFilesAndLosesNoLineOfTheNewest) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + "/operator.log";
    COperatorLog log(path);
    log.m_rotateBytes = 400;
    const QString filler(60, QChar('x'));
    for (int i = 0; i < 60; ++i) ASSERT_TRUE(log.Append(QJsonObject{{"n", i}, {"filler", filler}}));
    EXPECT_TRUE(QFile::exists(path));
    for (int i = 1; i <= 4; ++i) EXPECT_TRUE(QFile::exists(path + "." + QString::number(i))) << i;
    EXPECT_FALSE(QFile::exists(path + ".5"));
    // Each file stays within the limit, and the files read newest first
    // give the last lines written, in order, with none missing between.
    int expected = 59;
    for (int i = 0; i <= 4; ++i) {
        const QString file = i == 0 ? path : path + "." + QString::number(i);
        EXPECT_LE(QFileInfo(file).size(), 400) << file.toStdString();
        bool wellFormed = false;
        const std::vector<QJsonObject> lines = ReadLines(file, &wellFormed);
        EXPECT_TRUE(wellFormed);
        ASSERT_FALSE(lines.empty());
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) EXPECT_EQ((*it)["n"].toInt(), expected--);
    }
    EXPECT_GT(expected, 0);  // the oldest lines went with the oldest file
}

TEST(OperatorLog, AFailingLogIsReportedOnceAndRecovers) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + "/operator.log";
    COperatorLog log(path);
    std::vector<QString> reports;
    log.m_onFailure = [&](const QString& line) { reports.push_back(line); };

    // A full disk: the file opens, every write fails.
    ASSERT_EQ(::symlink("/dev/full", path.toLocal8Bit().constData()), 0);
    EXPECT_FALSE(log.Append(QJsonObject{{"n", 1}}));
    EXPECT_FALSE(log.Append(QJsonObject{{"n", 2}}));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].startsWith("Operator log cannot be written: " + path + ": ")) << reports[0].toStdString();

    // The place of the file taken by a folder: it cannot even be opened.
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QDir().mkdir(path));
    EXPECT_FALSE(log.Append(QJsonObject{{"n", 3}}));
    EXPECT_EQ(reports.size(), 1u);

    // Fixed: writing goes on, and a new failure is reported again.
    ASSERT_TRUE(QDir().rmdir(path));
    EXPECT_TRUE(log.Append(QJsonObject{{"n", 4}}));
    bool wellFormed = false;
    const std::vector<QJsonObject> lines = ReadLines(path, &wellFormed);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["n"].toInt(), 4);
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_EQ(::symlink("/dev/full", path.toLocal8Bit().constData()), 0);
    EXPECT_FALSE(log.Append(QJsonObject{{"n", 5}}));
    EXPECT_EQ(reports.size(), 2u);
}
