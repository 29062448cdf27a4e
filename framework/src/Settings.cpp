#include "framework/Settings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStringList>

bool AfxReadMachineString(const char* organisation, const char* application, const char* name, String& value,
                          std::size_t bufferBytes) {
    value = "";
    if (organisation == nullptr || application == nullptr || name == nullptr) return false;
    // System scope only: the user's own files must not stand in for the
    // machine's value.
    QSettings settings(QSettings::SystemScope, QString::fromUtf8(organisation), QString::fromUtf8(application));
    const QVariant v = settings.value(QString::fromUtf8(name));
    if (!v.isValid()) return false;
    QString text;
    if (v.typeId() == QMetaType::QStringList) text = v.toStringList().join(u',');
    else text = v.toString();
    const QByteArray bytes = text.toUtf8();
    // The value and its terminator must fit; a longer one is refused whole.
    if (static_cast<std::size_t>(bytes.size()) + 1 > bufferBytes) return false;
    value = bytes.constData();
    return true;
}

namespace {

// The LED brightness files of the keyboards, found once. Empty where the
// platform does not show them (no such LEDs, or no /sys).
QStringList LedFiles(const char* suffix) {
    QStringList files;
    const QDir leds(QStringLiteral("/sys/class/leds"));
    const QStringList names = leds.entryList(QStringList{QStringLiteral("*::") + QString::fromLatin1(suffix)},
                                             QDir::Dirs | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& n : names) files << leds.filePath(n + QStringLiteral("/brightness"));
    return files;
}

bool AnyLedOn(const QStringList& files) {
    for (const QString& path : files) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) continue;
        const QByteArray text = f.read(16).trimmed();
        if (!text.isEmpty() && text != "0") return true;
    }
    return false;
}

}  // namespace

bool AfxIsKeyLockOn(KeyLock lock) {
    static const QStringList caps = LedFiles("capslock");
    static const QStringList num = LedFiles("numlock");
    static const QStringList scroll = LedFiles("scrolllock");
    switch (lock) {
        case KeyLock::Caps: return AnyLedOn(caps);
        case KeyLock::Num: return AnyLedOn(num);
        case KeyLock::Scroll: return AnyLedOn(scroll);
    }
    return false;
}
