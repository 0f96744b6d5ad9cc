#include "resourcelimits.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>

#include <QFile>

#include <atomic>
#include <cstdlib>
#include <set>
#include <sys/resource.h>
#include <unistd.h>

namespace services
{
namespace
{
QCommandLineOption numberOption(const char *name, const char *help, unsigned long value)
{
    return QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(help), QStringLiteral("N"),
                              QString::number(value));
}

// Names of the parameters a configuration file sets ("name = value" lines).
std::set<std::string> configuredNames(const std::string &file)
{
    std::set<std::string> names;
    if (file.empty())
        return names;
    QFile f(QString::fromLocal8Bit(file.c_str()));
    if (!f.open(QIODevice::ReadOnly))
        return names;
    while (!f.atEnd()) {
        QByteArray line = f.readLine();
        if (const int comment = line.indexOf('#'); comment >= 0)
            line.truncate(comment);
        line = line.trimmed();
        const int eq = line.indexOf('=');
        if (eq > 0)
            names.insert(line.left(eq).trimmed().toStdString());
    }
    return names;
}

// Parameters set in the environment: ORB<name>=<value>.
std::set<std::string> environmentNames()
{
    std::set<std::string> names;
    for (char **entry = environ; entry && *entry; ++entry) {
        const std::string text = *entry;
        const auto eq = text.find('=');
        if (text.rfind("ORB", 0) == 0 && eq != std::string::npos && eq > 3)
            names.insert(text.substr(3, eq - 3));
    }
    return names;
}

std::atomic<unsigned long> g_descriptorLimit{0};
std::atomic<unsigned long> g_reserved{0};

CORBA::Boolean refuseWithoutDescriptors(omni::omniInterceptors::serverAcceptConnection_T::info_T &info)
{
    // The lowest free descriptor: every one below it is in use.
    const int probe = ::dup(STDERR_FILENO);
    if (probe >= 0)
        ::close(probe);
    if (probe < 0 || (unsigned long)(probe) + g_reserved >= g_descriptorLimit) {
        info.reject = 1;
        info.why = "too many open connections";
    }
    return 1;
}
}

ResourceOptions::ResourceOptions()
    : m_maxMessage(numberOption("max-message-size", "Largest GIOP message accepted, bytes.",
                                ResourceLimits().maxMessageBytes))
    , m_threads(numberOption("max-connection-threads",
                             "Connections served by a thread each; beyond, they share the pool.",
                             ResourceLimits().dedicatedThreads))
    , m_poolThreads(numberOption("max-pool-threads", "Threads of the shared pool.", ResourceLimits().poolThreads))
    , m_idle(numberOption("idle-timeout", "Seconds after which an idle connection is closed (0: never).",
                          ResourceLimits().idleTimeoutS))
    , m_unfinished(numberOption("unfinished-timeout",
                                "Milliseconds within which a request must arrive whole, or its connection is "
                                "closed (0: no limit).",
                                ResourceLimits().unfinishedTimeoutMs))
    , m_reserved(numberOption("reserved-descriptors",
                              "Connections are refused while fewer file descriptors than this remain free.",
                              ResourceLimits().reservedDescriptors))
    , m_orbConfig(QStringLiteral("orb-config"),
                  QStringLiteral("omniORB configuration file (default: the file OMNIORB_CONFIG names, else "
                                 "/etc/omniORB.cfg). An omniORB parameter is taken from, first found: a server "
                                 "option given on the command line, -ORB<name> <value>, the environment variable "
                                 "ORB<name>, the configuration file, the server's default."),
                  QStringLiteral("FILE"))
{
}

QList<QCommandLineOption> ResourceOptions::options() const
{
    return {m_maxMessage, m_threads, m_poolThreads, m_idle, m_unfinished, m_reserved, m_orbConfig};
}

std::string ResourceOptions::read(const QCommandLineParser &parser, ResourceLimits &limits) const
{
    const struct
    {
        const QCommandLineOption &option;
        unsigned long min, max;
        unsigned long &out;
        std::vector<const char *> parameters; // the omniORB parameters it sets
    } numbers[] = {
        {m_maxMessage, 8192, 1UL << 30, limits.maxMessageBytes, {"giopMaxMsgSize"}},
        {m_threads, 1, 100000, limits.dedicatedThreads, {"threadPerConnectionUpperLimit", "threadPerConnectionLowerLimit"}},
        {m_poolThreads, 1, 100000, limits.poolThreads, {"maxServerThreadPoolSize"}},
        {m_idle, 0, 86400, limits.idleTimeoutS, {"inConScanPeriod"}},
        {m_unfinished, 0, 3600000, limits.unfinishedTimeoutMs, {"serverCallTimeOutPeriod"}},
        {m_reserved, 8, 100000, limits.reservedDescriptors, {}}};
    for (const auto &n : numbers) {
        bool ok = false;
        const QString text = parser.value(n.option);
        const unsigned long value = text.toULong(&ok);
        if (!ok || value < n.min || value > n.max)
            return "invalid --" + n.option.names().first().toStdString() + " '" + text.toStdString() + "' (" +
                   std::to_string(n.min) + ".." + std::to_string(n.max) + ")";
        n.out = value;
        if (parser.isSet(n.option))
            limits.given.insert(n.parameters.begin(), n.parameters.end());
    }
    if (parser.isSet(m_orbConfig)) {
        limits.orbConfigFile = parser.value(m_orbConfig).toStdString();
        QFile file(parser.value(m_orbConfig));
        if (!file.open(QIODevice::ReadOnly))
            return "cannot read --orb-config '" + limits.orbConfigFile + "': " + file.errorString().toStdString();
    }
    return {};
}

std::string takeOrbArguments(int &argc, char *argv[], std::vector<std::string> &orbArguments)
{
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("-ORB", 0) != 0) {
            argv[kept++] = argv[i];
            continue;
        }
        if (arg.size() == 4 || i + 1 >= argc)
            return "option '" + arg + "' needs a name and a value (-ORB<name> <value>)";
        orbArguments.push_back(arg);
        orbArguments.push_back(argv[++i]);
    }
    argc = kept;
    argv[argc] = nullptr;
    return {};
}

std::string orbConfigFile(const ResourceLimits &limits)
{
    if (!limits.orbConfigFile.empty())
        return limits.orbConfigFile;
    const char *named = std::getenv("OMNIORB_CONFIG");
    return named && *named ? named : "/etc/omniORB.cfg";
}

std::vector<std::string> orbArguments(const ResourceLimits &limits,
                                      const std::vector<std::pair<std::string, std::string>> &defaults)
{
    // omniORB takes a parameter from its command line before the environment
    // and the environment before the file: a default passed as an argument
    // would hide both, so it is passed only where they are silent.
    std::set<std::string> operatorSet = configuredNames(orbConfigFile(limits));
    const std::set<std::string> environment = environmentNames();
    operatorSet.insert(environment.begin(), environment.end());
    for (std::size_t i = 0; i < limits.orbArguments.size(); i += 2)
        operatorSet.insert(limits.orbArguments[i].substr(4));
    const unsigned long lower = limits.dedicatedThreads - limits.dedicatedThreads / 4;
    std::vector<std::pair<std::string, std::string>> settings = {
        {"giopMaxMsgSize", std::to_string(limits.maxMessageBytes)},
        {"threadPerConnectionUpperLimit", std::to_string(limits.dedicatedThreads)},
        {"threadPerConnectionLowerLimit", std::to_string(lower ? lower : 1)},
        {"maxServerThreadPoolSize", std::to_string(limits.poolThreads)},
        {"inConScanPeriod", std::to_string(limits.idleTimeoutS)},
        {"serverCallTimeOutPeriod", std::to_string(limits.unfinishedTimeoutMs)},
    };
    settings.insert(settings.end(), defaults.begin(), defaults.end());
    std::vector<std::string> out, explicitly;
    if (!limits.orbConfigFile.empty())
        out = {"-ORBconfigFile", limits.orbConfigFile};
    for (const auto &s : settings) {
        if (limits.given.count(s.first))
            explicitly.insert(explicitly.end(), {"-ORB" + s.first, s.second});
        else if (!operatorSet.count(s.first))
            out.insert(out.end(), {"-ORB" + s.first, s.second});
    }
    out.insert(out.end(), limits.orbArguments.begin(), limits.orbArguments.end());
    out.insert(out.end(), explicitly.begin(), explicitly.end());
    return out;
}

void guardDescriptors(unsigned long reserved)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    ::getrlimit(RLIMIT_NOFILE, &limit);
    g_descriptorLimit = limit.rlim_cur == RLIM_INFINITY ? ~0UL : (unsigned long)(limit.rlim_cur);
    g_reserved = reserved;
    omniORB::getInterceptors()->serverAcceptConnection.add(refuseWithoutDescriptors);
}
}
