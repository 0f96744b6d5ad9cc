// What an operator relies on from cco-server's state file: a server killed
// in the middle of changes comes back with every acknowledged one and none
// that was removed, values come back byte for byte in their listing order,
// the file is an SQLite database anyone can read, a journal of the former
// format is taken over, damaged files and a full disk are reported instead of
// half stored, and a sync interval bounds how long a change stays off disk.
#include "servicescco.h"
#include "waituntil.h"

#include <cco.hh>

#include <QElapsedTimer>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/mount.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace ccoclient;
using ccoclient::stat;
using NC = CosNaming::NamingContext;
using CcoStateFile = testsupport::CcoServerFixture;
using testsupport::readFile;
using testsupport::writeFile;

namespace
{
std::optional<Strings> lookUp(CCO::IF_CCO_c_ptr cco, const std::string &name)
{
    try {
        return resolve(cco, name);
    } catch (const NC::NotFound &) {
        return std::nullopt;
    }
}

// The rows `sql` gives on the database at `path`, each as its columns joined by spaces, read the
// way any other program would. Read-write: after a kill the log needs recovering.
Strings query(const QString &path, const char *sql)
{
    Strings rows;
    sqlite3 *db = nullptr;
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK
        || sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        rows.push_back(std::string("cannot read: ") + sqlite3_errmsg(db));
    while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
            row += (c ? " " : "") + std::string(text ? text : "");
        }
        rows.push_back(row);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
}

// The bindings as "name kind value|value|..." in listing order.
Strings databaseRows(const QString &path)
{
    return query(path,
        "SELECT b.name, b.kind, coalesce(b.reference, (SELECT group_concat(value, '|') FROM"
        " (SELECT value FROM binding_values v WHERE v.name = b.name ORDER BY idx)), '')"
        " FROM bindings b ORDER BY b.position, b.kind");
}

// One record of the line journal that the former server wrote.
std::string journalLine(char op, const std::string &name, const Strings &fields)
{
    const auto escape = [](const std::string &in) {
        std::string out;
        for (unsigned char c : in) {
            char buf[4];
            if (c <= 0x20 || c >= 0x7f || c == '%' || c == '#') {
                std::snprintf(buf, sizeof buf, "%%%02X", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
        return out;
    };
    std::string line = std::string(1, op) + " " + escape(name);
    if (op == 'V')
        line += " " + std::to_string(fields.size());
    for (const auto &f : fields)
        line += " " + escape(f);
    char sum[8];
    std::snprintf(sum, sizeof sum, "#%04x", unsigned(qChecksum(line.data(), uint(line.size()))));
    return line + " " + sum + "\n";
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
    void fillUpTo(qint64 freeBytes)
    {
        QFile filler(filePath("filler"));
        filler.open(QIODevice::WriteOnly | QIODevice::Append);
        const QByteArray block(1024, 'x');
        QStorageInfo space(m_dir.path());
        while (space.bytesAvailable() > freeBytes && filler.write(block) == block.size() && filler.flush())
            space.refresh();
    }
    void makeRoom() { QFile::remove(filePath("filler")); }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
};
}

TEST_F(CcoStateFile, KilledAmidChangesItLosesNoAcknowledgedOneAndRevivesNoRemovedOne)
{
    QTemporaryDir dir;
    const QString state = dir.filePath("cco.db");
    const QString port = QString::number(testsupport::freeLoopbackPort());
    const unsigned seed = std::random_device {}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const Strings alphabet = {"a", " ", "%", "#", "\xc3\xa9", "\xff", "%41", ""};
    const auto someValues = [&] {
        Strings out(random() % 4);
        for (auto &v : out) {
            for (int n = int(random() % 4); n > 0; --n)
                v += alphabet[random() % alphabet.size()];
        }
        return out;
    };

    std::map<std::string, Strings> model; // name under Churn -> values
    struct Uncertain
    {
        std::string name;
        std::optional<Strings> after; // a registration's values; none for a removal
    };
    std::optional<Uncertain> inFlight;

    for (int cycle = 0; cycle < 12; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        // Both sync modes commit before the reply, so a kill loses nothing in either.
        ASSERT_NO_FATAL_FAILURE(
            startCco({"--port", port, "--state-file", state, "--quiet", "--state-sync-ms", cycle % 2 ? "300" : "0"}));

        // A binding of no values resolves like no binding; the listing tells them apart.
        const Strings listed = lookUp(cco, "Churn").value_or(Strings {});
        if (inFlight) {
            // The change the kill interrupted may or may not have been stored, but not half.
            const bool bound = std::find(listed.begin(), listed.end(), inFlight->name) != listed.end();
            if (inFlight->after && bound)
                model[inFlight->name] = *inFlight->after;
            else if (!inFlight->after && !bound)
                model.erase(inFlight->name);
            inFlight.reset();
        }
        Strings expected, sorted = listed;
        for (const auto &entry : model)
            expected.push_back(entry.first);
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, expected);
        for (const auto &entry : model)
            EXPECT_EQ(lookUp(cco, "Churn/" + entry.first), entry.second) << entry.first;

        std::atomic<int> acknowledged {0};
        const int killAfter = 20 + int(random() % 150);
        std::thread killer([&] {
            testsupport::waitUntil([&] { return acknowledged >= killAfter; }, 20000, 1);
            server->kill();
        });
        for (int op = 0; op < 5000; ++op) {
            const std::string name = "n" + std::to_string(random() % 40);
            const std::string full = "Churn/" + name;
            Uncertain change {name, std::nullopt};
            if (model.count(name) == 0)
                change.after = someValues();
            try {
                if (change.after)
                    cco->RegisterValues(full.c_str(), values(*change.after), CCO::RT_Single);
                else
                    cco->UnregisterValues(full.c_str(), CCO::RT_Single);
            } catch (const CORBA::SystemException &) {
                inFlight = change;
                break;
            } catch (const CORBA::UserException &e) {
                // Caught, so that the killer thread is joined and the tests after this one still run.
                ADD_FAILURE() << e._name() << " for " << full << ": the server lost an acknowledged change";
                break;
            }
            if (change.after)
                model[name] = *change.after;
            else
                model.erase(name);
            ++acknowledged;
        }
        killer.join();
        ASSERT_TRUE(inFlight.has_value()) << "the server outlived the stream";
    }
}

TEST_F(CcoStateFile, ValuesComeBackByteForByteInTheirListingOrderAndTheFileIsADatabase)
{
    QTemporaryDir dir;
    const QString state = dir.filePath("cco.db");
    const QStringList args = {"--port", QString::number(testsupport::freeLoopbackPort()), "--state-file", state};
    const Strings odd = {"two words", "100%", "#1", "", "caf\xc3\xa9", "\xff\xfe raw", "%41%", " "};
    ASSERT_NO_FATAL_FAILURE(startCco(args));
    cco->RegisterValues("CCO/LocalSystem/Order/zulu", values({"z"}), CCO::RT_Single);
    cco->RegisterValues("CCO/LocalSystem/Order/alpha/deep", values(odd), CCO::RT_Single);
    cco->RegisterValues("CCO/LocalSystem/Order/mike", values({}), CCO::RT_Single);
    cco->Register("CCO/LocalSystem/Order/mike", cco, CCO::RT_Single);
    // Removed and bound again, zulu keeps its first place.
    cco->UnregisterValues("CCO/LocalSystem/Order/zulu", CCO::RT_Single);
    cco->RegisterValues("CCO/LocalSystem/Order/zulu", values({"z2"}), CCO::RT_Single);
    cco->RegisterValues("CCO/LocalSystem/Order/with space/%#\xc3\xa9", values({""}), CCO::RT_Single);
    EXPECT_EQ(resolve(cco, "CCO/LocalSystem/Order"), (Strings {"zulu", "alpha", "mike", "with space"}));
    server->kill();
    // While no server runs, the file alone holds it all.
    const Strings rows = databaseRows(state);
    ASSERT_EQ(rows.size(), 5u) << (rows.empty() ? "" : rows.front());
    EXPECT_EQ(rows[0], "CCO/LocalSystem/Order/zulu values z2");
    EXPECT_EQ(rows[1].rfind("CCO/LocalSystem/Order/alpha/deep values two words|100%|#1||caf\xc3\xa9", 0), 0u);
    EXPECT_EQ(rows[3].rfind("CCO/LocalSystem/Order/mike values", 0), 0u);
    EXPECT_EQ(rows[2].rfind("CCO/LocalSystem/Order/mike object IOR:", 0), 0u);

    for (int restart = 0; restart < 2; ++restart) {
        ASSERT_NO_FATAL_FAILURE(startCco(args));
        Strings order = {"zulu", "alpha", "mike", "with space"};
        if (restart == 1)
            order.push_back("after"); // bound after the first restart: last
        EXPECT_EQ(resolve(cco, "CCO/LocalSystem/Order"), order);
        EXPECT_EQ(resolve(cco, "CCO/LocalSystem/Order/alpha/deep"), odd);
        EXPECT_EQ(resolve(cco, "CCO/LocalSystem/Order/mike"), Strings {});
        EXPECT_EQ(resolve(cco, "CCO/LocalSystem/Order/with space/%#\xc3\xa9"), Strings {""});
        CORBA::Object_var object = cco->Resolve("CCO/LocalSystem/Order/mike", CCO::RM_Default);
        EXPECT_FALSE(CORBA::is_nil(object));
        if (restart == 0)
            cco->RegisterValues("CCO/LocalSystem/Order/after", values({"a"}), CCO::RT_Single);
        server->stop();
    }
}

TEST_F(CcoStateFile, AJournalOfTheFormerServerIsTakenOverOnce)
{
    QTemporaryDir dir;
    const QString state = dir.filePath("cco.state");
    const std::string ior = "IOR:010000001b00000049444c3a43434f2f49465f43434f5f633a312e300000";
    QByteArray journal = "CCO-STATE 1\n";
    for (const std::string &line :
        {journalLine('V', "CCO/LocalSystem/Rx/second", {"two words", "100%", "#", "", "caf\xc3\xa9"}),
            journalLine('V', "CCO/LocalSystem/Rx/gone", {"g"}), journalLine('O', "CCO/LocalSystem/Rx/obj", {ior}),
            journalLine('V', "CCO/LocalSystem/Rx/first", {"1"}), journalLine('v', "CCO/LocalSystem/Rx/gone", {}),
            journalLine('V', "CCO/LocalSystem/Rx/gone", {"back"})})
        journal += QByteArray::fromStdString(line);
    // Cut off before its newline by a crash, the last record was never acknowledged.
    const std::string cut = journalLine('v', "CCO/LocalSystem/Rx/first", {});
    journal += QByteArray::fromStdString(cut.substr(0, cut.size() - 1));
    writeFile(state, journal);

    const QStringList args = {"--port", QString::number(testsupport::freeLoopbackPort()), "--state-file", state};
    ASSERT_NO_FATAL_FAILURE(startCco(args));
    EXPECT_GE(server->waitForLine("took over the journal", 2000), 0);
    server->stop();
    EXPECT_EQ(readFile(state + ".journal"), journal);
    EXPECT_TRUE(readFile(state).startsWith(QByteArray("SQLite format 3\0", 16)));

    // Started again, it reads the database and leaves the journal alone.
    ASSERT_NO_FATAL_FAILURE(startCco(args));
    EXPECT_EQ(server->countLines("took over"), 0);
    EXPECT_EQ(resolve(cco, "CCO/LocalSystem/Rx"), (Strings {"second", "gone", "obj", "first"}));
    EXPECT_EQ(resolve(cco, "CCO/LocalSystem/Rx/second"), (Strings {"two words", "100%", "#", "", "caf\xc3\xa9"}));
    EXPECT_EQ(resolve(cco, "CCO/LocalSystem/Rx/gone"), Strings {"back"});
    EXPECT_EQ(databaseRows(state).size(), 4u);
    EXPECT_EQ(databaseRows(state).at(2), "CCO/LocalSystem/Rx/obj object " + ior);
}

TEST_F(CcoStateFile, ADamagedFileIsReportedAndStartsOnlyWhenToldHow)
{
    QTemporaryDir dir;
    const QString state = dir.filePath("cco.db");
    ASSERT_NO_FATAL_FAILURE(startCco({"--state-file", state}));
    cco->RegisterValues("Kept/one", values({"1"}), CCO::RT_Single);
    server->stop();
    // The kept copy is written at start, outside any call: it holds the state from then.
    ASSERT_NO_FATAL_FAILURE(startCco({"--state-file", state}));
    EXPECT_TRUE(testsupport::waitUntil([&] { return stat(*server, "backups") >= 1; }, 5000, 20));
    const std::string payload(900, 'p');
    for (int i = 0; i < 200; ++i)
        cco->RegisterValues(("Bulk/" + std::to_string(i)).c_str(), values({payload}), CCO::RT_Single);
    server->stop();
    const QString previous = state + ".previous";
    ASSERT_TRUE(QFile::exists(previous));
    const QByteArray whole = readFile(state);
    ASSERT_GT(whole.size(), 100000);

    const auto refusedWith = [&](const QString &reason) {
        auto refused = testsupport::startCcoServer({"--state-file", state}, 5000);
        EXPECT_FALSE(refused->ready());
        EXPECT_GE(refused->waitForLine(state + " is damaged: " + reason, 5000), 0)
            << qPrintable(refused->lines().join('\n'));
    };
    // Cut off as by a broken copy: found by the check.
    writeFile(state, whole.left(whole.size() / 2));
    refusedWith(QString());
    // Not a database at all: SQLite's own reason.
    writeFile(state, QByteArray(8192, '\x5a'));
    refusedWith("file is not a database");

    ASSERT_NO_FATAL_FAILURE(startCco({"--state-file", state, "--on-damaged-state", "previous"}));
    EXPECT_GE(server->waitForLine("started from the kept copy", 2000), 0);
    EXPECT_EQ(resolve(cco, "Kept/one"), Strings {"1"});
    EXPECT_TRUE(QFile::exists(state + ".damaged"));
    server->stop();

    writeFile(state, whole.left(whole.size() / 3));
    ASSERT_NO_FATAL_FAILURE(startCco({"--state-file", state, "--on-damaged-state", "empty"}));
    EXPECT_THROW(resolve(cco, "Kept/one"), NC::NotFound);
    cco->RegisterValues("CCO/LocalSystem/Fresh/one", values({"f"}), CCO::RT_Single);
    server->stop();
    EXPECT_EQ(databaseRows(state), Strings {"CCO/LocalSystem/Fresh/one values f"});
}

TEST_F(CcoStateFile, AFullDiskFailsTheCallAndStoresNothingHalf)
{
    SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root or CAP_SYS_ADMIN)";
    const QString state = disk.filePath("cco.db");
    const QStringList args
        = {"--port", QString::number(testsupport::freeLoopbackPort()), "--state-file", state, "--quiet"};
    ASSERT_NO_FATAL_FAILURE(startCco(args));

    disk.fillUpTo(16 * 1024);
    Strings acknowledged;
    int refused = 0;
    const std::string payload(900, 'p');
    for (int i = 0; i < 400 && refused < 3; ++i) {
        const std::string name = "Full/" + std::to_string(i);
        try {
            // Many values: a change that fails must leave none of them behind.
            cco->RegisterValues(name.c_str(), values(Strings(4, payload)), CCO::RT_Single);
            acknowledged.push_back(name);
        } catch (const CORBA::PERSIST_STORE &) {
            ++refused;
            // What is not stored is not bound either.
            const Strings listed = resolve(cco, "Full");
            EXPECT_EQ(std::count(listed.begin(), listed.end(), std::to_string(i)), 0) << name;
        }
    }
    ASSERT_EQ(refused, 3) << "the disk never filled up";
    EXPECT_GE(server->waitForLine("STATE not stored", 2000), 0);

    // Room again: changes are stored again.
    disk.makeRoom();
    cco->RegisterValues("After/room", values({"r"}), CCO::RT_Single);
    acknowledged.push_back("After/room");

    server->kill();
    ASSERT_NO_FATAL_FAILURE(startCco(args));
    for (const auto &name : acknowledged)
        EXPECT_FALSE(resolve(cco, name).empty()) << name << " was acknowledged and is lost";
    server->stop();
    // Nothing of the refused ones reached the file either, not one of their values.
    EXPECT_EQ(query(state, "SELECT count(*) FROM bindings"), Strings {std::to_string(acknowledged.size())});
    EXPECT_EQ(query(state, "SELECT count(*) FROM binding_values"),
        Strings {std::to_string(4 * (acknowledged.size() - 1) + 1)});
}

TEST_F(CcoStateFile, WithASyncIntervalAChangeFollowedByQuietReachesTheDiskWithinIt)
{
    QTemporaryDir dir;
    ASSERT_NO_FATAL_FAILURE(startCco({"--state-file", dir.filePath("cco.db"), "--state-sync-ms", "1000"}));
    cco->RegisterValues("Quiet/one", values({"1"}), CCO::RT_Single);
    cco->RegisterValues("Quiet/two", values({"2"}), CCO::RT_Single);
    QElapsedTimer sinceLast;
    sinceLast.start();
    ASSERT_EQ(stat(*server, "commits"), 2);
    // No further change comes: the worker syncs the log on its own.
    EXPECT_TRUE(testsupport::waitUntil([&] { return stat(*server, "synced") == 2; }, 2000, 20));
    EXPECT_LT(sinceLast.elapsed(), 2000);
    EXPECT_GE(stat(*server, "flushes"), 1);

    // Without an interval each commit is synced before the reply.
    ASSERT_NO_FATAL_FAILURE(startCco({"--state-file", dir.filePath("each.db")}));
    cco->RegisterValues("Each/one", values({"1"}), CCO::RT_Single);
    EXPECT_EQ(stat(*server, "synced"), 1);
    EXPECT_EQ(stat(*server, "flushes"), 0);
}
