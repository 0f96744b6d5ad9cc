// Garbage and broken GIOP on the raw sockets of cco-server and
// matrix-server: whatever arrives, the server stays up, keeps serving
// well-formed calls, answers or drops the bad connection, and gives back the
// threads and memory that the bad connections took. Floods of idle and
// unfinished connections, beyond the descriptors the server started with,
// leave a good client served at once and are closed after their timeouts.
#include "systemsupport.h"

#include "ccoclient.h"
#include "giop.h"
#include "orbhandlerhost.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <cco.hh>
#include <matrixmanager.hh>

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace systemtest;
using testsupport::ServerProcess;
using namespace giop;

namespace
{
Bytes randomBytes(std::mt19937 &random, std::size_t n)
{
    Bytes bytes(n);
    for (auto &b : bytes)
        b = std::uint8_t(random());
    return bytes;
}

Bytes concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// `call` answers `expected`; an exception fails the test by itself.
template <typename Call> bool answers(Call call, const char *expected)
{
    try {
        CORBA::String_var text = call();
        return std::strcmp(text.in(), expected) == 0;
    } catch (const CORBA::Exception &e) {
        ADD_FAILURE() << e._name();
        return false;
    }
}

struct Case
{
    const char *name;
    Bytes bytes;
    // Half-closes after sending, as a client that gave up would.
    bool closeAfter;
};

std::vector<Case> hostileInputs(const std::string &key)
{
    std::mt19937 random(20261205);
    const Bytes good = request(7, key, "_non_existent");
    std::vector<Case> cases = {
        {"4 KiB of random bytes", randomBytes(random, 4096), true},
        {"random bytes behind a GIOP magic", concat({'G', 'I', 'O', 'P'}, randomBytes(random, 2000)), true},
        {"3 bytes of a header", {'G', 'I', 'O'}, true},
        {"a header without its message", header(0, 64), true},
        {"a header announcing 4 GiB", concat(header(0, 0xFFFFFFF0u), randomBytes(random, 100)), true},
        {"a header announcing 100 MiB, little endian", {'G', 'I', 'O', 'P', 1, 2, 1, 0, 0x00, 0x00, 0x40, 0x06}, true},
        {"GIOP version 9.9", concat(header(0, 16, 9, 9), Bytes(16, 0)), true},
        {"message type 42", concat(header(42, 16), Bytes(16, 0)), true},
        {"a request cut in half", Bytes(good.begin(), good.begin() + long(good.size() / 2)), true},
        {"a request whose key claims 4 GiB",
            [&] {
                Bytes b = good;
                // The key's length follows id (4), flags (4) and the address kind (2 + 2 padding).
                b[24] = b[25] = b[26] = 0xFF;
                b[27] = 0xF0;
                return b;
            }(),
            false},
        {"a request for an unknown object", request(8, "NoSuchObject", "_non_existent"), false},
        {"a request for an unknown operation", request(9, key, "noSuchOperation"), false},
        {"a fragment with no message before it", concat(header(7, 8), Bytes(8, 0)), true},
        {"a reply sent to the server", concat(header(1, 12), Bytes(12, 0)), true},
        {"a close-connection message", header(5, 0), false},
        {"a message-error message", header(6, 0), false},
        {"a request, then garbage", concat(good, randomBytes(random, 512)), true},
    };
    return cases;
}

class Wire : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CorbaCommon::OrbHandlerHost::Init({})); }

    // Each case on a connection of its own; after each the server must still
    // answer well-formed requests, raw and through the ORB.
    void blast(ServerProcess &server, const std::string &key, const std::function<bool()> &serves)
    {
        for (const Case &c : hostileInputs(key)) {
            SCOPED_TRACE(c.name);
            {
                RawConnection connection(server.port());
                ASSERT_TRUE(connection.ok());
                connection.send(c.bytes);
                if (c.closeAfter)
                    connection.shutdownWrite();
                bool closed = false;
                connection.receive(c.closeAfter ? 2000 : 300, &closed);
                // A connection whose sender has given up must not be held
                // open by the server for long.
                if (c.closeAfter) {
                    EXPECT_TRUE(closed) << "the server kept a dead connection open";
                }
            }
            ASSERT_TRUE(server.isRunning()) << "the server died";
            RawConnection probe(server.port());
            ASSERT_TRUE(probe.send(request(42, key, "_non_existent")));
            bool closed = false;
            const Bytes reply = probe.receive(2000, &closed, true);
            ASSERT_GE(reply.size(), 12u);
            EXPECT_EQ(std::memcmp(reply.data(), "GIOP", 4), 0);
            EXPECT_EQ(reply[7], 1) << "no Reply to a well-formed request";
            EXPECT_TRUE(serves());
        }

        // Many connections at once, left open without a word, then dropped.
        {
            std::vector<std::unique_ptr<RawConnection>> idle;
            for (int i = 0; i < 200; ++i) {
                idle.push_back(std::make_unique<RawConnection>(server.port()));
                idle.back()->send(header(0, 1000));
            }
            EXPECT_TRUE(serves()) << "200 silent connections starved the server";
        }
        EXPECT_TRUE(serves());
    }

    // The ORB ends the threads of dropped connections once they have been
    // idle for its idle timeout (10 s by default), so the servers are
    // checked together at the end.
    static void expectSettled(ServerProcess &server, const ProcessFigures &before)
    {
        SCOPED_TRACE(qPrintable(server.corbaloc()));
        EXPECT_TRUE(testsupport::waitUntil(
            [&] { return processFigures(server.pid()).threads <= before.threads + 5; }, 30000, 50))
            << "threads of dropped connections stay";
        const ProcessFigures after = processFigures(server.pid());
        EXPECT_LE(after.fds, before.fds + 5) << "descriptors of dropped connections stay";
        // A claimed size is no reason to allocate it.
        EXPECT_LT(after.rssKb - before.rssKb, 64 * 1024);
    }
};

TEST_F(Wire, ServersSurviveGarbageAndBrokenGiopAndGiveBackWhatItTook)
{
    auto cco = testsupport::startCcoServer({"--quiet"});
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    CCO::IF_CCO_c_var ccoRef = ccoclient::connectCco(*cco);
    ASSERT_FALSE(CORBA::is_nil(ccoRef));
    const auto ccoServes = [&] { return answers([&] { return ccoRef->GetSystemName(); }, "VornSystem"); };
    const ProcessFigures ccoBefore = processFigures(cco->pid());
    blast(*cco, "CCO", ccoServes);

    auto matrix = testsupport::startMatrixServer(QString(), {"--quiet"});
    ASSERT_TRUE(matrix->ready()) << qPrintable(matrix->errorText());
    MatrixManager::IF_MMR_c_var matrixRef = ccoclient::narrowTo<MatrixManager::IF_MMR_c>(matrix->corbaloc());
    ASSERT_FALSE(CORBA::is_nil(matrixRef));
    matrixRef->connect(3, 2);
    // The connection made before the blast is still there after it.
    const auto matrixServes = [&] { return answers([&] { return matrixRef->connectionData(); }, "out 2 <- in 3"); };
    const ProcessFigures matrixBefore = processFigures(matrix->pid());
    blast(*matrix, "MatrixManager", matrixServes);

    expectSettled(*cco, ccoBefore);
    expectSettled(*matrix, matrixBefore);
    EXPECT_TRUE(ccoServes());
    EXPECT_TRUE(matrixServes());
}
}

TEST_F(Wire, FloodsOfIdleAndUnfinishedConnectionsLeaveGoodClientsServed)
{
    // The server starts with fewer descriptors than the flood takes, as a
    // server under a default limit of 1024 meets 1100 connections.
    rlimit own {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    if (own.rlim_max < 2048)
        GTEST_SKIP() << "the hard limit of open files (" << own.rlim_max << ") leaves no room for the flood";
    rlimit small = own;
    small.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &small), 0);
    auto cco = testsupport::startCcoServer({"--quiet"});
    ::setrlimit(RLIMIT_NOFILE, &own);
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());

    std::vector<std::unique_ptr<RawConnection>> idle, unfinished;
    for (int i = 0; i < 400; ++i)
        idle.push_back(std::make_unique<RawConnection>(cco->port()));
    const Bytes good = request(1, "CCO", "_non_existent");
    for (int i = 0; i < 20; ++i) {
        unfinished.push_back(std::make_unique<RawConnection>(cco->port()));
        unfinished.back()->send(Bytes(good.begin(), good.begin() + long(good.size() / 2)));
    }

    // Each on a new connection, as a client that arrives during the flood.
    std::vector<qint64> servedMs;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer clock;
        clock.start();
        RawConnection client(cco->port());
        ASSERT_TRUE(client.ok());
        ASSERT_TRUE(client.send(request(std::uint32_t(10 + i), "CCO", "_non_existent")));
        bool closed = false;
        // Served at all within the server's 3 s for a request to arrive whole,
        // on a machine as busy as it may be; at once, as a rule (the median below).
        const Bytes reply = client.receive(5000, &closed, true);
        ASSERT_GE(reply.size(), 12u) << "a good client was not served during the flood";
        EXPECT_EQ(reply[7], 1);
        servedMs.push_back(clock.elapsed());
    }
    std::sort(servedMs.begin(), servedMs.end());
    EXPECT_LT(servedMs[servedMs.size() / 2], 100) << "a good client waited for the flood";
    // Connections beyond the dedicated threads share a pool instead of a thread each.
    EXPECT_LT(processFigures(cco->pid()).threads, 300);

    idle.clear();
    unfinished.clear();

    // The server closes both kinds after their timeouts (2 s idle, 1 s to finish a message).
    auto timed = testsupport::startCcoServer(
        {"--quiet", "--idle-timeout", "2", "--unfinished-timeout", "1000", "-ORBscanGranularity", "1"});
    ASSERT_TRUE(timed->ready()) << qPrintable(timed->errorText());
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<RawConnection>(timed->port()));
        unfinished.push_back(std::make_unique<RawConnection>(timed->port()));
        unfinished.back()->send(Bytes(good.begin(), good.begin() + long(good.size() / 2)));
    }
    for (auto *group : {&unfinished, &idle}) {
        for (auto &connection : *group) {
            bool closed = false;
            connection->receive(10000, &closed);
            ASSERT_TRUE(closed) << (group == &idle ? "an idle" : "an unfinished") << " connection stays open";
        }
    }
}
