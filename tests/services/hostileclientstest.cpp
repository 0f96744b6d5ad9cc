// cco-server against clients that are hostile or broken: names deep and long
// enough to overflow a recursive server, oversized value lists, a disk that
// fills up under the state file, state files damaged between runs, callback
// targets that never answer, and ORB settings given by the operator.
#include "ccoclient.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <cco.hh>
#include <orbhandler.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

using ccoclient::clientOrb;
using ccoclient::resolve;
using ccoclient::Strings;
using ccoclient::values;
using NC = CosNaming::NamingContext;
using testsupport::ServerProcess;

namespace
{
CCO::IF_CCO_c_ptr connect(const ServerProcess &server)
{
    CORBA::Object_var obj = clientOrb(5000)->string_to_object(server.corbaloc().toLatin1().constData());
    return CCO::IF_CCO_c::_narrow(obj);
}

std::string repeat(const std::string &piece, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

// The value of `key` in the server's "STATS" line.
long stat(ServerProcess &server, const QString &key)
{
    const int from = server.lineCount();
    if (!server.command(QStringLiteral("stats")))
        return -1;
    const int at = server.waitForLine(QStringLiteral("STATS "), 5000, from);
    if (at < 0)
        return -1;
    const QString line = server.lines().at(at);
    const int pos = line.indexOf(key + QLatin1Char('='));
    return pos < 0 ? -1 : line.mid(pos + key.size() + 1).section(QLatin1Char(' '), 0, 0).toLong();
}

// A small filesystem of its own, so that the disk can fill up under the
// server without touching anybody else's.
class SmallDisk
{
public:
    SmallDisk()
    {
        if (m_dir.isValid() && ::mount("tmpfs", m_dir.path().toLocal8Bit().constData(), "tmpfs", 0, "size=256k") == 0)
            m_mounted = true;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(m_dir.path().toLocal8Bit().constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    // Leaves about `freeBytes` free.
    void fillUpTo(long freeBytes)
    {
        QFile filler(filePath(QStringLiteral("filler")));
        filler.open(QIODevice::WriteOnly | QIODevice::Append);
        const QByteArray block(1024, 'x');
        while (freeSpace() > freeBytes && filler.write(block) == block.size() && filler.flush()) { }
    }
    void makeRoom() { QFile::remove(filePath(QStringLiteral("filler"))); }

private:
    long freeSpace() const
    {
        struct statvfs info
        {
        };
        if (::statvfs(m_dir.path().toLocal8Bit().constData(), &info) != 0)
            return 0;
        return long(info.f_bavail * info.f_bsize);
    }

    QTemporaryDir m_dir;
    bool m_mounted = false;
};
}

TEST(CcoLimits, DeepLongAndLargeRequestsAreRefusedCountedAndSurvived)
{
    QTemporaryDir dir;
    const QString state = dir.filePath(QStringLiteral("cco.state"));
    auto server = testsupport::startCcoServer({"--state-file", state});
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    CCO::IF_CCO_c_var cco = connect(*server);
    ASSERT_FALSE(CORBA::is_nil(cco));

    // Names that crashed a recursive store: refused, and the server lives on.
    const std::string deep = repeat("d/", 20000) + "x";
    EXPECT_THROW(cco->RegisterValues(deep.c_str(), values({"v"}), CCO::RT_Single), NC::InvalidName);
    EXPECT_THROW(resolve(cco, repeat("d/", 200000) + "x"), NC::InvalidName);
    EXPECT_THROW(cco->Register((repeat("e/", 40) + "x").c_str(), cco, CCO::RT_Single), NC::InvalidName);
    EXPECT_THROW(cco->RegisterValues("Dev/many", values(Strings(1001, "v")), CCO::RT_Single), CORBA::IMP_LIMIT);
    EXPECT_THROW(cco->RegisterValues("Dev/long", values({std::string(5000, 'v')}), CCO::RT_Single), CORBA::IMP_LIMIT);
    EXPECT_EQ(stat(*server, QStringLiteral("name-length")), 2);
    EXPECT_EQ(stat(*server, QStringLiteral("name-depth")), 1);
    EXPECT_EQ(stat(*server, QStringLiteral("value-count")), 1);
    EXPECT_EQ(stat(*server, QStringLiteral("value-length")), 1);
    EXPECT_GE(server->waitForLine(QStringLiteral("LIMIT name-length refused 1 call(s)"), 2000), 0);
    EXPECT_THROW(resolve(cco, "Dev/many"), NC::NotFound);

    // Within the limits, names as deep as allowed are stored, listed and
    // come back after a crash.
    const std::string deepest = "CCO/" + repeat("s/", 31) + "x";
    cco->RegisterValues(deepest.c_str(), values({"deep"}), CCO::RT_Single);
    EXPECT_EQ(resolve(cco, "CCO/s"), Strings {"s"});
    server->kill();
    server = testsupport::startCcoServer({"--state-file", state});
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    cco = connect(*server);
    EXPECT_EQ(resolve(cco, deepest), Strings {"deep"});
}

TEST(CcoLimits, ContextsEmptiedByShortLivedNamesAreGivenBack)
{
    auto server = testsupport::startCcoServer({"--max-empty-contexts", "50"});
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    CCO::IF_CCO_c_var cco = connect(*server);
    const long contexts = stat(*server, QStringLiteral("contexts"));
    for (int i = 0; i < 300; ++i) {
        const std::string name = "Churn/" + std::to_string(i) + "/leaf";
        cco->RegisterValues(name.c_str(), values({}), CCO::RT_Single);
        cco->UnregisterValues(name.c_str(), CCO::RT_Single);
    }
    // Each kept leaf may keep its emptied parent ("Churn/<i>").
    EXPECT_LE(stat(*server, QStringLiteral("contexts")), contexts + 2 * 50 + 2);
    EXPECT_EQ(resolve(cco, "Churn"), Strings {});
}

TEST(CcoLimits, AStateFileOfDeepNamesStaysSmallAndLoadable)
{
    // A nesting format grew with the depth and could not be read back.
    QTemporaryDir dir;
    const QString state = dir.filePath(QStringLiteral("cco.state"));
    const QStringList generous = {"--state-file", state, "--max-name-depth", "6000", "--max-name-length", "20000"};
    auto server = testsupport::startCcoServer(generous);
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    CCO::IF_CCO_c_var cco = connect(*server);
    const std::string deep = "CCO/" + repeat("d/", 5000) + "x";
    cco->RegisterValues(deep.c_str(), values({"bottom"}), CCO::RT_Single);
    server->stop();
    EXPECT_LT(QFileInfo(state).size(), 20000);

    server = testsupport::startCcoServer(generous);
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    cco = connect(*server);
    EXPECT_EQ(resolve(cco, deep), Strings {"bottom"});
}

TEST(CcoStateFile, AFullDiskFailsTheCallAndLosesNothingAcknowledged)
{
    SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root or CAP_SYS_ADMIN)";
    const QString state = disk.filePath(QStringLiteral("cco.state"));
    auto server = testsupport::startCcoServer({"--state-file", state, "--quiet"});
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    CCO::IF_CCO_c_var cco = connect(*server);

    disk.fillUpTo(16 * 1024);
    Strings acknowledged;
    int refused = 0;
    const std::string payload(900, 'p');
    for (int i = 0; i < 400 && refused < 3; ++i) {
        const std::string name = "Full/" + std::to_string(i);
        try {
            cco->RegisterValues(name.c_str(), values({payload}), CCO::RT_Single);
            acknowledged.push_back(name);
        } catch (const CORBA::PERSIST_STORE &) {
            ++refused;
            // What is not stored is not bound either.
            const Strings listed = resolve(cco, "Full");
            EXPECT_EQ(std::count(listed.begin(), listed.end(), std::to_string(i)), 0) << name;
        }
    }
    ASSERT_EQ(refused, 3) << "the disk never filled up";
    EXPECT_GE(server->waitForLine(QStringLiteral("STATE not stored"), 2000), 0);

    // Room again: registrations are stored again, and compaction (after
    // enough records) keeps the file it replaces.
    disk.makeRoom();
    for (int i = 0; i < 600; ++i) {
        cco->RegisterValues("Cycle/x", values({"c"}), CCO::RT_Single);
        cco->UnregisterValues("Cycle/x", CCO::RT_Single);
    }
    cco->RegisterValues("After/room", values({"r"}), CCO::RT_Single);
    acknowledged.push_back("After/room");
    EXPECT_TRUE(QFile::exists(state + QStringLiteral(".previous")));

    server->kill();
    server = testsupport::startCcoServer({"--state-file", state, "--quiet"});
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    cco = connect(*server);
    for (const auto &name : acknowledged)
        EXPECT_FALSE(resolve(cco, name).empty()) << name << " was acknowledged and is lost";
}

TEST(CcoStateFile, ADamagedFileIsReportedAndStartsOnlyWhenToldHow)
{
    QTemporaryDir dir;
    const QString state = dir.filePath(QStringLiteral("cco.state"));
    auto server = testsupport::startCcoServer({"--state-file", state});
    ASSERT_TRUE(server->ready());
    CCO::IF_CCO_c_var cco = connect(*server);
    cco->RegisterValues("Kept/one", values({"1"}), CCO::RT_Single);
    cco->RegisterValues("Kept/two", values({"2"}), CCO::RT_Single);
    server->stop();
    QFile::copy(state, state + QStringLiteral(".previous"));

    // A record cut off by a crash was never acknowledged: dropped with a note.
    {
        QFile file(state);
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write("V CCO/LocalSystem/half");
    }
    server = testsupport::startCcoServer({"--state-file", state});
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    EXPECT_GE(server->waitForLine(QStringLiteral("dropped an unfinished last record at line 4"), 2000), 0);
    cco = connect(*server);
    EXPECT_EQ(resolve(cco, "Kept"), (Strings {"one", "two"}));
    server->stop();

    // A changed byte in the middle: refused with the file's name and the line.
    {
        QFile file(state);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        bytes.replace("Kept/one 1 1", "Kept/one 1 7");
        file.seek(0);
        file.write(bytes);
    }
    auto refused = testsupport::startCcoServer({"--state-file", state}, 5000);
    EXPECT_FALSE(refused->ready());
    EXPECT_GE(refused->waitForLine(state + QStringLiteral(" is damaged at line 2"), 5000), 0);

    auto fromKept = testsupport::startCcoServer({"--state-file", state, "--on-damaged-state", "previous"});
    ASSERT_TRUE(fromKept->ready()) << qPrintable(fromKept->errorText());
    cco = connect(*fromKept);
    EXPECT_EQ(resolve(cco, "Kept/one"), Strings {"1"});
    EXPECT_TRUE(QFile::exists(state + QStringLiteral(".damaged")));
    fromKept->stop();

    // A file of another format, and starting empty.
    {
        QFile file(state);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("{\n  \"children\": [\n");
    }
    refused = testsupport::startCcoServer({"--state-file", state}, 5000);
    EXPECT_FALSE(refused->ready());
    EXPECT_GE(refused->waitForLine(QStringLiteral("damaged at line 1"), 5000), 0);
    auto empty = testsupport::startCcoServer({"--state-file", state, "--on-damaged-state", "empty"});
    ASSERT_TRUE(empty->ready()) << qPrintable(empty->errorText());
    cco = connect(*empty);
    EXPECT_THROW(resolve(cco, "Kept/one"), NC::NotFound);
}

TEST(CcoCallbacks, UnreachableCallbackTargetsDelayNoRegistration)
{
    // A listener whose queue is full: connection attempts to it go unanswered.
    const int blackhole = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(blackhole, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(blackhole, 0), 0);
    ::getsockname(blackhole, reinterpret_cast<sockaddr *>(&addr), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(fillers.back(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    }

    auto server = testsupport::startCcoServer();
    ASSERT_TRUE(server->ready());
    CCO::IF_CCO_c_var cco = connect(*server);
    const std::string target = "corbaloc::127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/Callback";
    CORBA::Object_var obj = clientOrb(5000)->string_to_object(target.c_str());
    CCO::Callback_var callback = CCO::Callback::_unchecked_narrow(obj);
    CCO::CallbackEntryList entries;
    entries.length(1);
    entries[0].kind = CCO::NK_Registered;
    entries[0].name = CORBA::string_dup("Watched");
    std::vector<CCO::CBRegistration_var> registrations;
    for (int i = 0; i < 20; ++i)
        registrations.emplace_back(cco->register_callback(callback, entries));

    // Each notification may take the server's connect timeout (500 ms); the
    // registering client must wait for none of them.
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer clock;
        clock.start();
        cco->RegisterValues(("Watched/" + std::to_string(i)).c_str(), values({"v"}), CCO::RT_Single);
        EXPECT_LT(clock.elapsed(), 500) << "registration " << i << " waited for callbacks";
    }
    // Targets that fail are dropped, one after another, each after one bounded attempt.
    EXPECT_TRUE(testsupport::waitUntil([&] { return stat(*server, QStringLiteral("callbacks")) < 20; }, 30000, 100));

    // And the number of registrations is capped.
    auto capped = testsupport::startCcoServer({"--max-callbacks", "2"});
    ASSERT_TRUE(capped->ready());
    CCO::IF_CCO_c_var small = connect(*capped);
    registrations.emplace_back(small->register_callback(callback, entries));
    registrations.emplace_back(small->register_callback(callback, entries));
    EXPECT_THROW(CCO::CBRegistration_var(small->register_callback(callback, entries)), CORBA::NO_RESOURCES);

    for (int fd : fillers)
        ::close(fd);
    ::close(blackhole);
}

TEST(ServerOptions, OrbArgumentsAndConfigurationFilesReachTheOrb)
{
    QTemporaryDir dir;
    // Each value within the store's limit, the message beyond the ORB's.
    const std::string part(3000, 'b');
    const QString config = dir.filePath(QStringLiteral("omniORB.cfg"));
    {
        QFile file(config);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("# small messages only\ngiopMaxMsgSize = 8192\n");
    }
    for (const QStringList &args : {QStringList {"--orb-config", config}, QStringList {"-ORBgiopMaxMsgSize", "8192"},
             QStringList {"--max-message-size", "8192"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        auto server = testsupport::startCcoServer(args + QStringList {"--listen", "127.0.0.1"});
        ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
        CCO::IF_CCO_c_var cco = connect(*server);
        EXPECT_THROW(cco->RegisterValues("Big", values({part, part, part}), CCO::RT_Single), CORBA::SystemException);
        cco->RegisterValues("Small", values({"s"}), CCO::RT_Single);
    }
    for (const QStringList &args : {QStringList {"-ORBnoSuchSetting", "1"}, QStringList {"-ORBtraceLevel"},
             QStringList {"--orb-config", dir.filePath("missing.cfg")}}) {
        auto server = testsupport::startCcoServer(args, 5000);
        EXPECT_FALSE(server->ready()) << args.join(' ').toStdString();
        EXPECT_GE(server->waitForLine(QStringLiteral("stderr: cco-server: "), 5000), 0);
    }
}
