#include "cfgcenter.h"

#include "cfgcenterhost.h"
#include "inicfg.h"

#include <QDir>
#include <QFileInfo>

#include <mutex>

namespace
{
std::mutex locationMutex;
QString &configuredLocation()
{
    static auto *location = new QString;
    return *location;
}
}

ICfg *CfgCenter::CreateCfg(QString name, ICfg::View view, QString variant)
{
    return new IniCfg(CfgCenterHost::ConfigFile(), name, view, variant);
}

void CfgCenterHost::SetConfigLocation(const QString &fileOrDirectory)
{
    std::lock_guard<std::mutex> lock(locationMutex);
    configuredLocation() = fileOrDirectory;
}

QString CfgCenterHost::ConfigFile()
{
    QString location;
    {
        std::lock_guard<std::mutex> lock(locationMutex);
        location = configuredLocation();
    }
    if (location.isEmpty())
        location = qEnvironmentVariable("VORN_CONFIG");
    if (location.isEmpty())
        return QString();
    if (QFileInfo(location).isDir())
        return QDir(location).filePath(QStringLiteral("vorn.ini"));
    return location;
}
