#include "drivertestutil.h"

#include "cfgcenter.h"

#include <QFile>
#include <QTextStream>

namespace drivertest
{
Config::Config(const QMap<QString, QMap<QString, QString>> &groups)
    : path(dir.filePath(QStringLiteral("vorn.ini")))
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Text);
    QTextStream out(&file);
    for (auto group = groups.begin(); group != groups.end(); ++group) {
        out << '[' << group.key() << "]\n";
        for (auto key = group->begin(); key != group->end(); ++key)
            out << key.key() << '=' << key.value() << '\n';
    }
    out.flush();
    CfgCenter::SetConfigLocation(path);
}

Config::~Config()
{
    CfgCenter::SetConfigLocation(QString());
}
}
