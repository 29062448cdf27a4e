// COperatorLog: the operator's log, one JSON object per line, for the
// after-air report: every change of a command's state, every link change
// with its reason, every failed fetch. Each line is flushed as it is
// written; at 10 MiB the file is rotated, keeping five files in all
// (operator.log, operator.log.1 ... operator.log.4). A write that fails is
// reported once (until a write succeeds again) and never stops the viewer.
//
// GUI thread only.
#pragma once

#include <functional>
#include <memory>

#include <QJsonObject>
#include <QString>

class QFile;

class COperatorLog {
public:
    static constexpr qint64 kRotateBytes = 10 * 1024 * 1024;
    static constexpr int kKeptFiles = 5;

    // path: the log file; its folder is made when missing.
    explicit COperatorLog(QString path);
    ~COperatorLog();
    COperatorLog(const COperatorLog&) = delete;
    COperatorLog& operator=(const COperatorLog&) = delete;

    // Appends entry with "time" (UTC, ms), "host" and "user" first. False
    // when it could not be written (reported through the failure handler
    // the first time).
    bool Append(const QJsonObject& entry);

    const QString& Path() const { return m_path; }
    // Lines written since the log was made (for the status of the log).
    int LinesWritten() const { return m_lines; }
    // Called with one line of text when writing starts failing.
    std::function<void(const QString&)> m_onFailure;
    // Where the file is rotated (tests make it small).
    qint64 m_rotateBytes = kRotateBytes;

private:
    bool Open();
    void Rotate();
    void Failed(const QString& why);

    QString m_path;
    QString m_host;
    QString m_user;
    std::unique_ptr<QFile> m_file;
    bool m_failing = false;  // a failure was reported and nothing written since
    int m_lines = 0;
};

// $XDG_STATE_HOME/tallyscope (default ~/.local/state/tallyscope), made when
// missing; empty when there is no home to put it in.
QString TallyscopeStateFolder();
// The operator log's file in that folder.
QString OperatorLogPath();
