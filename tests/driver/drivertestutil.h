// The configuration of the instance "Drv", given as the lines of its INI
// group, in a temporary file that is the process's configuration while this
// lives.
#pragma once

#include "cfgcenter.h"
#include "cfgcenterhost.h"

#include <QFile>
#include <QTemporaryDir>

namespace drivertest
{
class Config
{
public:
    explicit Config(const char *lines)
    {
        QFile ini(file());
        ini.open(QIODevice::WriteOnly);
        ini.write(QByteArray("[Drv]\n") + lines);
        ini.close();
        CfgCenterHost::SetConfigLocation(file());
    }
    ~Config() { CfgCenterHost::SetConfigLocation(QString()); }
    QString file() const { return dir.filePath(QStringLiteral("vorn.ini")); }

private:
    QTemporaryDir dir;
};
}
