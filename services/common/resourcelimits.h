// What a server lets its clients take: connections, threads, message size,
// time for idle connections and for unfinished messages. Most of it is
// omniORB's own settings; the defaults here hold where omniORB's would let
// a few hostile clients take everything. An operator's -ORB... arguments and
// omniORB configuration file win over these defaults.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>

#include <string>
#include <vector>

namespace services
{
struct ResourceLimits
{
    unsigned long maxMessageBytes = 1 << 20;  // giopMaxMsgSize
    unsigned long dedicatedThreads = 100;     // threadPerConnectionUpperLimit: beyond, connections share a pool
    unsigned long poolThreads = 100;          // maxServerThreadPoolSize
    unsigned long idleTimeoutS = 60;          // inConScanPeriod: an idle connection is closed after this
    unsigned long unfinishedTimeoutMs = 3000; // serverCallTimeOutPeriod: a request must arrive whole by then
    unsigned long reservedDescriptors = 64;   // connections are refused while fewer descriptors remain free
    std::vector<std::string> orbArguments;    // -ORB<name> <value> pairs as given
    std::string orbConfigFile;                // empty: omniORB's default (OMNIORB_CONFIG or /etc/omniORB.cfg)
};

// The command-line options for ResourceLimits, shared by both servers.
class ResourceOptions
{
public:
    ResourceOptions();
    QList<QCommandLineOption> options() const;
    // Fills `limits` from a parsed command line; returns an error text.
    std::string read(const QCommandLineParser &parser, ResourceLimits &limits) const;

private:
    QCommandLineOption m_maxMessage, m_threads, m_poolThreads, m_idle, m_unfinished, m_reserved, m_orbConfig;
};

// Takes the "-ORB<name> <value>" pairs out of argv (the Qt parser would read
// them as bundles of short options); returns an error text.
std::string takeOrbArguments(int &argc, char *argv[], std::vector<std::string> &orbArguments);

// The ORB_init arguments for `limits`: the defaults not overridden by the
// operator's -ORB arguments or configuration file, then those arguments.
std::vector<std::string> orbArguments(const ResourceLimits &limits);

// Raises the soft limit of open descriptors to the hard one and makes the
// ORB refuse connections while fewer than `reserved` descriptors remain, so
// that a flood of connections cannot lock the server out of accept().
void guardDescriptors(unsigned long reserved);
}
