#include "drivertestutil.h"

#include "cfgcenter.h"

#include <QFile>
#include <QTextStream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

ReservedPort::ReservedPort()
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        number = ntohs(address.sin_port);
}

ReservedPort::~ReservedPort()
{
    release();
}

void ReservedPort::release()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
}
