#include "vieworb.h"

#include "orbhandlerhost.h"

#include <omniORB4/CORBA.h>

#include <string>
#include <vector>

namespace installationview
{
bool initOrb(
    const QString &program, const QStringList &orbArguments, int callTimeoutMs, int connectTimeoutMs, QString *error)
{
    std::vector<std::string> storage;
    storage.push_back(program.toStdString());
    for (const QString &a : orbArguments)
        storage.push_back(a.toStdString());
    std::vector<char *> argv;
    for (auto &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    int argc = int(storage.size());
    try {
        CORBA::ORB_var orb = CORBA::ORB_init(argc, argv.data(), "omniORB4");
        // omniORB's defaults wait forever; a hung server must not hold a
        // refresh longer than this.
        omniORB::setClientCallTimeout(CORBA::ULong(callTimeoutMs));
        omniORB::setClientConnectTimeout(CORBA::ULong(connectTimeoutMs));
    } catch (const CORBA::Exception &e) {
        *error = QStringLiteral("the ORB refused its arguments (%1)").arg(QString::fromLatin1(e._name()));
        return false;
    }
    if (argc > 1) {
        *error = QStringLiteral("unknown ORB argument %1").arg(QString::fromLocal8Bit(argv[1]));
        destroyOrb();
        return false;
    }
    // The value-tree clients reach the ORB through the platform's handler,
    // which takes over the ORB made above with the same limits.
    CorbaCommon::OrbHandlerHost::Init(
        {QStringLiteral("-ORBclientCallTimeOutPeriod"), QString::number(callTimeoutMs),
            QStringLiteral("-ORBclientConnectTimeOutPeriod"), QString::number(connectTimeoutMs)});
    return true;
}

void destroyOrb()
{
    CorbaCommon::OrbHandlerHost::Shutdown();
    try {
        int argc = 0;
        CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr, "omniORB4");
        orb->destroy();
    } catch (const CORBA::Exception &) {
        // Already gone: nothing is left to release.
    }
}
}
