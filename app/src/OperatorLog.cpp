#include "app/OperatorLog.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSysInfo>

#include <cstdlib>

namespace {

QString UserName() {
    const char* user = std::getenv("USER");
    if (user != nullptr && user[0] != '\0') return QString::fromLocal8Bit(user);
    const char* logname = std::getenv("LOGNAME");
    if (logname != nullptr && logname[0] != '\0') return QString::fromLocal8Bit(logname);
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(::getuid());
}

}  // namespace

QString TallyscopeStateFolder() {
    QString base;
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    const QString home = qEnvironmentVariable("HOME");
    if (state.startsWith('/')) {
        base = state;
    } else if (home.startsWith('/')) {
        base = home + "/.local/state";
    } else {
        return QString();
    }
    // The base as the XDG rules make it; our own folder for this user only.
    QDir().mkpath(base);
    const QString folder = base + "/tallyscope";
    ::mkdir(folder.toLocal8Bit().constData(), 0700);
    return folder;
}

QString OperatorLogPath() {
    const QString folder = TallyscopeStateFolder();
    return (folder.isEmpty() ? QDir::currentPath() : folder) + "/operator.log";
}

COperatorLog::COperatorLog(QString path)
    : m_path(std::move(path)), m_host(QSysInfo::machineHostName()), m_user(UserName()) {}

COperatorLog::~COperatorLog() = default;

bool COperatorLog::Open() {
    if (m_file && m_file->isOpen()) {
        // A file moved or removed behind our back (by hand, by another
        // rotation) would swallow every line: open the path afresh then.
        struct stat onDisk {};
        struct stat open {};
        if (::stat(m_path.toLocal8Bit().constData(), &onDisk) == 0 && ::fstat(m_file->handle(), &open) == 0 &&
            onDisk.st_ino == open.st_ino && onDisk.st_dev == open.st_dev)
            return true;
        m_file.reset();
    }
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    m_file = std::make_unique<QFile>(m_path);
    if (m_file->open(QIODevice::WriteOnly | QIODevice::Append)) return true;
    Failed(m_file->errorString());
    m_file.reset();
    return false;
}

void COperatorLog::Rotate() {
    m_file.reset();
    // operator.log.3 -> .4, ..., operator.log -> .1; the oldest goes.
    QFile::remove(m_path + "." + QString::number(kKeptFiles - 1));
    for (int i = kKeptFiles - 2; i >= 1; --i)
        QFile::rename(m_path + "." + QString::number(i), m_path + "." + QString::number(i + 1));
    QFile::rename(m_path, m_path + ".1");
}

void COperatorLog::Failed(const QString& why) {
    if (m_failing) return;
    m_failing = true;
    if (m_onFailure) m_onFailure(QStringLiteral("Operator log cannot be written: %1: %2").arg(m_path, why));
}

bool COperatorLog::Append(const QJsonObject& entry) {
    QJsonObject line;
    line.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    line.insert("host", m_host);
    line.insert("user", m_user);
    for (auto it = entry.begin(); it != entry.end(); ++it) line.insert(it.key(), it.value());
    QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact);
    bytes.append('\n');

    if (!Open()) return false;
    if (m_file->size() > 0 && m_file->size() + bytes.size() > m_rotateBytes) {
        Rotate();
        if (!Open()) return false;
    }
    if (m_file->write(bytes) != bytes.size() || !m_file->flush()) {
        Failed(m_file->errorString());
        // Opened afresh next time: the folder may be writable again.
        m_file.reset();
        return false;
    }
    m_failing = false;
    ++m_lines;
    return true;
}
