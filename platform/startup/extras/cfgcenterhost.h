// Host side of the start-up library: where the configuration is read from.
#pragma once

#include <QString>

namespace CfgCenterHost
{
// Thread-safe; affects configurations created afterwards.
void SetConfigLocation(const QString &fileOrDirectory);
// The INI file that configurations are read from, empty when there is none.
QString ConfigFile();
}
