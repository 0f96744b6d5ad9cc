#include "inicfg.h"

#include <QSettings>
#include <QStringList>

IniCfg::IniCfg(const QString &file, const QString &groupName, View cfgView, const QString &cfgVariant)
    : group(groupName)
    , view(cfgView)
    , variant(cfgVariant)
{
    if (!file.isEmpty()) {
        settings = std::make_unique<QSettings>(file, QSettings::IniFormat);
        if (!group.isEmpty())
            settings->beginGroup(group);
    }
}

IniCfg::~IniCfg() = default;

QString IniCfg::storedText(const QString &key) const
{
    if (!settings || key.isEmpty() || !settings->contains(key))
        return QString();
    const QVariant stored = settings->value(key);
    // QSettings reads an unquoted "a, b" as a list; give the text back.
    if (stored.userType() == QMetaType::QStringList)
        return stored.toStringList().join(QStringLiteral(", "));
    QString text = stored.toString();
    if (text.isNull())
        text = QLatin1String("");
    return text;
}

void IniCfg::store(const QString &key, const QString &text)
{
    if (!settings || key.isEmpty())
        return;
    settings->setValue(key, text);
    settings->sync();
}

QString IniCfg::ReadString(QString key, QString def, bool writeDefault)
{
    const QString text = storedText(key);
    if (!text.isNull())
        return text;
    if (writeDefault)
        store(key, def);
    return def;
}

int IniCfg::ReadInt(QString key, int def, bool writeDefault)
{
    const QString text = storedText(key);
    if (text.isNull()) {
        if (writeDefault)
            store(key, QString::number(def));
        return def;
    }
    bool ok = false;
    const int number = text.trimmed().toInt(&ok, 10);
    return ok ? number : def;
}

bool IniCfg::ReadBool(QString key, bool def, bool writeDefault)
{
    const QString text = storedText(key);
    if (text.isNull()) {
        if (writeDefault)
            store(key, def ? QStringLiteral("true") : QStringLiteral("false"));
        return def;
    }
    const QString word = text.trimmed().toLower();
    if (word == QLatin1String("true") || word == QLatin1String("1") || word == QLatin1String("yes"))
        return true;
    if (word == QLatin1String("false") || word == QLatin1String("0") || word == QLatin1String("no"))
        return false;
    return def;
}
