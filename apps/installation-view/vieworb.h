// The process's ORB as installation-view uses it: a client only, with every
// call and connection attempt bounded.
#pragma once

#include <QStringList>

namespace installationview
{
// Initialises the ORB once for the process; false with `error` set when the
// ORB refuses its arguments.
bool initOrb(
    const QString &program, const QStringList &orbArguments, int callTimeoutMs, int connectTimeoutMs, QString *error);
void destroyOrb();
}
