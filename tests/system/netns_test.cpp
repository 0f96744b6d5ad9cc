// The CCO and two workstations on three hosts of their own: network
// namespaces joined by veth pairs to a bridge in a fourth, addresses of the
// test range 10.213.7.0/24 and host names from per-namespace hosts files.
// Names, addresses and ports cross a real network path: the receiver
// workstation registers under its host name, the mirroring workstation
// resolves that name and reaches the receiver's tree over the bridge, and the
// driver finds the matrix manager on the CCO's host. Nothing leaves the
// namespaces this test creates; they are removed however the test ends.
#include "systemsupport.h"

#include "serverprocess.h"
#include "waituntil.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

using namespace systemtest;
using testsupport::ServerProcess;
using testsupport::waitUntil;

namespace
{
const char *const subnet = "10.213.7.";
const char *const hostNames[] = {"cco-host", "ws1", "ws2"};

QString ipProgram()
{
    return QStandardPaths::findExecutable("ip", {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
}

// Runs `ip ARGS`; false with the reason in `why`. `output` gets what it printed.
bool ip(const QStringList &args, QString *why = nullptr, QString *output = nullptr)
{
    QProcess process;
    process.start(ipProgram(), args);
    const bool ok
        = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok && why)
        *why = QStringLiteral("ip %1: %2")
                   .arg(args.join(QLatin1Char(' ')), QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
    if (output)
        *output = QString::fromLatin1(process.readAllStandardOutput());
    return ok;
}

// Three hosts (namespaces NAME-cco, NAME-ws1, NAME-ws2) on one bridge inside
// NAME-net. The names carry this process's id, so that a run that was killed
// can be told from one that is still going.
class TestNetwork
{
public:
    TestNetwork()
        : name(QStringLiteral("ecdsys%1").arg(::getpid()))
    {
    }
    ~TestNetwork() { remove(); }

    static QString prefix() { return QStringLiteral("ecdsys"); }

    bool create(QString *why)
    {
        removeStale();
        created = true;
        const QString bridge = bridgeSpace();
        QList<QStringList> commands {{"netns", "add", bridge}, {"-n", bridge, "link", "add", "br0", "type", "bridge"},
            {"-n", bridge, "link", "set", "br0", "up"}};
        // "ip netns exec" shows a namespace its own /etc/netns/NS/hosts as
        // /etc/hosts: every host knows the others by name.
        QByteArray hosts = "127.0.0.1 localhost\n";
        for (int i = 0; i < 3; ++i) {
            const QString space = hostSpace(i);
            const QString peer = QStringLiteral("p%1x%2").arg(::getpid()).arg(i);
            commands << QStringList {"netns", "add", space} << QStringList {"-n", space, "link", "set", "lo", "up"}
                     << QStringList {"-n", space, "link", "add", "eth0", "type", "veth", "peer", "name", peer, "netns",
                            bridge}
                     << QStringList {"-n", bridge, "link", "set", peer, "master", "br0", "up"}
                     << QStringList {"-n", space, "addr", "add", address(i) + "/24", "dev", "eth0"}
                     << QStringList {"-n", space, "link", "set", "eth0", "up"};
            hosts += QStringLiteral("%1 %2\n").arg(address(i), QLatin1String(hostNames[i])).toLatin1();
        }
        for (const QStringList &command : commands) {
            if (!ip(command, why))
                return false;
        }
        for (int i = 0; i < 3; ++i) {
            const QString etc = QStringLiteral("/etc/netns/") + hostSpace(i);
            QFile file(etc + QStringLiteral("/hosts"));
            if (!QDir().mkpath(etc) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                || file.write(hosts) != hosts.size()) {
                *why = QStringLiteral("cannot write ") + file.fileName();
                return false;
            }
        }
        return true;
    }

    void remove()
    {
        if (!created)
            return;
        created = false;
        removeSpaces(name);
        // /etc/netns itself goes too unless someone else keeps files there.
        QDir("/etc").rmdir("netns");
    }

    QString hostSpace(int i) const { return QStringLiteral("%1-%2").arg(name, QLatin1String(hostNames[i])); }
    QStringList exec(int i) const { return {ipProgram(), "netns", "exec", hostSpace(i)}; }
    QString address(int i) const { return QStringLiteral("%1%2").arg(QLatin1String(subnet)).arg(i + 1); }

    // Bytes that host `i` received on its link to the bridge.
    qint64 receivedBytes(int i) const
    {
        QString output;
        ip({"-n", hostSpace(i), "-s", "link", "show", "eth0"}, nullptr, &output);
        const QStringList lines = output.split(QLatin1Char('\n'));
        for (int l = 0; l + 1 < lines.size(); ++l) {
            if (lines.at(l).trimmed().startsWith(QLatin1String("RX:")))
                return lines.at(l + 1).simplified().section(QLatin1Char(' '), 0, 0).toLongLong();
        }
        return -1;
    }

private:
    QString bridgeSpace() const { return name + QStringLiteral("-net"); }

    static void removeSpaces(const QString &base)
    {
        for (const char *suffix : {"-net", "-cco-host", "-ws1", "-ws2"}) {
            ip({"netns", "del", base + suffix});
            QDir(QStringLiteral("/etc/netns/") + base + suffix).removeRecursively();
        }
    }

    // Namespaces of earlier runs whose process is gone.
    static void removeStale()
    {
        QString list;
        ip({"netns", "list"}, nullptr, &list);
        for (const QString &line : list.split(QLatin1Char('\n'))) {
            const QString space = line.section(QLatin1Char(' '), 0, 0);
            if (!space.startsWith(prefix()))
                continue;
            const int pid = space.mid(prefix().size()).section(QLatin1Char('-'), 0, 0).toInt();
            if (pid > 0 && ::kill(pid, 0) != 0)
                removeSpaces(prefix() + QString::number(pid));
        }
    }

    QString name;
    bool created = false;
};

TEST(SeveralHosts, CcoAndTwoWorkstationsFindEachOtherByNameAcrossARealNetworkPath)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "network namespaces need root; run as root to cross a real network path";
    if (ipProgram().isEmpty())
        GTEST_SKIP() << "the 'ip' program (iproute2) is not installed";
    TestNetwork network;
    QString why;
    if (!network.create(&why))
        GTEST_SKIP() << "cannot create network namespaces here: " << qPrintable(why);

    // cco-host: the CCO and the matrix manager of workstation ws1.
    ServerProcess cco(network.exec(0).first(),
        network.exec(0).mid(1)
            + QStringList {testsupport::ccoServerPath(), "--host", network.address(0), "--port", "2809",
                "--workstation", "cco-host"});
    ASSERT_TRUE(cco.start()) << qPrintable(cco.errorText());
    const QString ccoByName = QStringLiteral("corbaloc::cco-host:2809/CCO");
    ServerProcess matrix(network.exec(0).first(),
        network.exec(0).mid(1)
            + QStringList {testsupport::matrixServerPath(), "--host", network.address(0), "--cco", ccoByName,
                "--workstation", "ws1", "--inputs", "8", "--outputs", "4", "--retry-interval", "200"});
    ASSERT_TRUE(matrix.start()) << qPrintable(matrix.errorText());
    ASSERT_GE(waitForLine(matrix, "REGISTERED", 10000), 0);

    // ws2: the mirroring workstation, started first for its three 5 s polls.
    auto mirror = startVornHost({"--no-plugin", "--stay", "--cco", "cco-host:2809"},
        {"mirror /RECEIVERS/RX%1 ANTENNA,LASTDRIVERERROR"}, network.exec(2));
    ASSERT_TRUE(mirror);

    // ws1: the receiver workstation with the driver, registered by host name.
    QTemporaryDir scratch;
    const QString config = writeConfig(scratch, "ExternalCCODriver",
        {"ReconnectTimer=200", "ValuePath=/DEVICES/KRV4", "AntennaMatrixDriver=true", "MatrixRemoteHost=ws1",
            "OutputNumber=2"});
    QStringList script;
    QFile tree(sourceDir() + QStringLiteral("/apps/vorn-host/examples/receiver-tree.vorn"));
    ASSERT_TRUE(tree.open(QIODevice::ReadOnly));
    script << QString::fromUtf8(tree.readAll()).split(QLatin1Char('\n'));
    script << QStringLiteral("waitfor /DEVICES/KRV4/USINGANTENNAMATRIX true 10000")
           << QStringLiteral("receiver 7000 RXNET ws1 %1 /DEVICES/KRV4").arg(network.address(1));
    auto receiver = startVornHost({"--cco", "cco-host:2809", "--config", config, "--stay", "--", "-ORBendPoint",
                                      QStringLiteral("giop:tcp:%1:7000").arg(network.address(1))},
        script, network.exec(1));
    ASSERT_TRUE(receiver);
    ASSERT_GE(waitForLine(*receiver, "READY corbaloc::ws1:7000/ValueTree", 10000), 0)
        << qPrintable(receiver->lines().join(QLatin1Char('\n')));
    const qint64 receivedBefore = network.receivedBytes(1);

    // The driver on ws1 switches through the matrix manager on cco-host.
    ASSERT_TRUE(hostDo(*receiver, {"select /DEVICES/KRV4/ANTENNA HF1"}));
    const auto connections = [&] {
        const int from = matrix.lineCount();
        matrix.command("state");
        const int at = waitForLine(matrix, "CONNECTIONS", 2000, from);
        return at < 0 ? QString() : matrix.lines().at(at).mid(12);
    };
    EXPECT_TRUE(waitUntil([&] { return connections() == QLatin1String("out 2 <- in 3"); }, 3000))
        << qPrintable(connections());

    // The CCO holds the receiver under its host name; ws2 resolves the name
    // and mirrors the tree across the bridge.
    const int connectedAt = waitForLine(*mirror, "MIRROR connected index=0", 30000);
    ASSERT_GE(connectedAt, 0) << qPrintable(mirror->lines().join(QLatin1Char('\n')));
    EXPECT_EQ(mirror->lines().at(connectedAt),
        QStringLiteral("MIRROR connected index=0 ip=%1 values=ANTENNA=/RECEIVERS/RX0/ANTENNA,"
                       "LASTDRIVERERROR=/RECEIVERS/RX0/LASTDRIVERERROR")
            .arg(network.address(1)));
    QStringList errors;
    ASSERT_TRUE(hostDo(*mirror, {"waitfor /RECEIVERS/RX0/ANTENNA HF1 5000"}, 10000, nullptr, &errors));
    EXPECT_TRUE(errors.isEmpty()) << qPrintable(errors.join(QLatin1Char('\n')));
    ASSERT_TRUE(hostDo(*receiver, {"select /DEVICES/KRV4/ANTENNA VUHF"}));
    ASSERT_TRUE(hostDo(*mirror, {"waitfor /RECEIVERS/RX0/ANTENNA VUHF 5000"}, 10000, nullptr, &errors));
    EXPECT_TRUE(errors.isEmpty()) << qPrintable(errors.join(QLatin1Char('\n')));
    EXPECT_TRUE(waitUntil([&] { return connections() == QLatin1String("out 2 <- in 6"); }, 3000))
        << qPrintable(connections());
    EXPECT_GT(network.receivedBytes(1), receivedBefore) << "nothing reached ws1 over its link";

    // Leaving: the registration goes, and so does the mirror of ws1.
    const int from = mirror->lineCount();
    ASSERT_TRUE(hostDo(*receiver, {"unregister RXNET"}));
    EXPECT_GE(waitForLine(*mirror, "MIRROR disconnected index=0", 15000, from), 0);

    receiver.reset();
    mirror.reset();
    EXPECT_EQ(matrix.stop(), 0);
    EXPECT_EQ(cco.stop(), 0);
}
}
