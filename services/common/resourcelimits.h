// What a server lets its clients take: connections, threads, message size,
// time for idle connections and for unfinished messages. Most of it is
// omniORB's own settings; the defaults here hold where omniORB's would let
// a few hostile clients take everything. The operator's omniORB settings
// come first: a default applies only where no -ORB argument, ORB<name>
// environment variable or configuration file sets the parameter, and a
// server option given on the command line wins over all of them.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>

#include <set>
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
    std::set<std::string> given;              // omniORB parameters set by a server option on the command line
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

// The configuration file omniORB reads: --orb-config's, else the one
// OMNIORB_CONFIG names, else /etc/omniORB.cfg.
std::string orbConfigFile(const ResourceLimits &limits);

// The ORB_init arguments for `limits` and the further `defaults` (omniORB
// parameter names and values): -ORBconfigFile for --orb-config, the defaults
// that the operator's settings leave open, the operator's -ORB arguments,
// then the parameters that server options set explicitly (`limits.given`).
std::vector<std::string> orbArguments(const ResourceLimits &limits,
                                      const std::vector<std::pair<std::string, std::string>> &defaults = {});

// Raises the soft limit of open descriptors to the hard one and makes the
// ORB refuse connections while fewer than `reserved` descriptors remain, so
// that a flood of connections cannot lock the server out of accept().
void guardDescriptors(unsigned long reserved);
}
