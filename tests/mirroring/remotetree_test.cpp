// The remote value tree: a client in this process mirrors values of a tree
// served by a vorn-host child process (or by this process itself).
#include "hostprocess.h"
#include "mirroringtestsupport.h"

#include "ivtclient.h"
#include "tree.h"
#include "vtclientcenter.h"
#include "vttreeserver.h"
#include "waituntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <memory>

using namespace mirroringtest;
using testsupport::waitUntil;

namespace
{
class RemoteTree : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ownPort = ensureOrb(1).value(0);
        VtClientCenter::Timing timing;
        timing.waitMs = 300;
        timing.retryMs = 100;
        timing.callMarginMs = 1000;
        VtClientCenter::Instance()->SetTiming(timing);
    }

    void TearDown() override
    {
        EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 0);
        EXPECT_TRUE(waitUntil([] { return clientThreadCount() == 0; }, 2000));
        VtClientCenter::Instance()->SetTiming(VtClientCenter::Timing());
    }

    std::unique_ptr<HostProcess> startReceiverHost(int port, const QString &frequency)
    {
        auto host = std::make_unique<HostProcess>(hostArguments(0, port));
        if (!host->start())
            return nullptr;
        host->send(QStringLiteral("mkvalue string /DEVICES/RX1/Frequency %1").arg(frequency));
        host->send(QStringLiteral("receiver %1 RX1").arg(port));
        if (host->waitForLine(QStringLiteral("READY"), 10000) < 0)
            return nullptr;
        return host;
    }

    int ownPort = 0;
};

TEST_F(RemoteTree, MirrorsFollowsReconnectsAndReportsInOrderOnTheOwnersThread)
{
    const int port = freePort();
    auto host = startReceiverHost(port, QStringLiteral("100"));
    ASSERT_TRUE(host);

    IVtClient *client = VtClientCenter::Instance()->CreateVtClient("127.0.0.1", port);
    ASSERT_NE(client, nullptr);
    ClientRecorder recorder(client);
    recorder.watchPaths = QStringList{QStringLiteral("/LOCAL/RX/Ip"), QStringLiteral("/LOCAL/RX/Freq")};
    ASSERT_TRUE(client->AddValueLink("/LOCAL/RX/Ip,/ADMINISTRATION/Ip", ""));
    ASSERT_TRUE(client->AddValueLink("/LOCAL/RX/Freq,DEVICES/RX1/Frequency", ""));

    ASSERT_TRUE(waitUntil([&] { return recorder.count(16) == 1; }, 5000)) << qPrintable(host->diagnostics());
    // The values are in place before the connection is reported.
    EXPECT_EQ(recorder.textsAtConnect.value(0), (QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("100")}));
    EXPECT_TRUE(client->IsConnected());

    host->send(QStringLiteral("set /DEVICES/RX1/Frequency 200"));
    EXPECT_TRUE(waitUntil([] { return textAt(QStringLiteral("/LOCAL/RX/Freq")) == QLatin1String("200"); }, 3000));

    host->kill();
    ASSERT_TRUE(waitUntil([&] { return recorder.count(17) == 1; }, 3000));
    EXPECT_FALSE(client->IsConnected());
    // A lost connection keeps the last texts.
    EXPECT_EQ(textAt(QStringLiteral("/LOCAL/RX/Freq")), QStringLiteral("200"));

    host = startReceiverHost(port, QStringLiteral("300"));
    ASSERT_TRUE(host);
    ASSERT_TRUE(waitUntil([&] { return recorder.count(16) == 2; }, 5000));
    EXPECT_EQ(recorder.textsAtConnect.value(2), (QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("300")}));

    EXPECT_TRUE(VtClientCenter::Instance()->DestroyVtClient(client));
    EXPECT_EQ(recorder.codes(), (std::vector<unsigned int>{15, 16, 17, 16, 18}));
    for (const ClientEvent &event : recorder.events) {
        EXPECT_EQ(event.thread, QThread::currentThread());
        if (event.code == 15 || event.code == 16) {
            EXPECT_TRUE(event.connected);
        }
    }
    // What the client created goes with it, nodes included.
    EXPECT_EQ(textAt(QStringLiteral("/LOCAL/RX/Freq")), QStringLiteral("<none>"));
    EXPECT_FALSE(nodeExists(QStringLiteral("/LOCAL")));
}

TEST_F(RemoteTree, LinkAddedWhileConnectedReusesTheLocalValueAndIsReportedBySixteen)
{
    VtTreeServer server;
    ASSERT_TRUE(server.start());
    putText(QStringLiteral("/SRC/A"), QStringLiteral("a1"));
    putText(QStringLiteral("/DST/A"), QStringLiteral("old"));
    values::ValueBase *existing = values::Tree::Instance()->FindValue(QStringLiteral("/DST/A"));

    IVtClient *client = VtClientCenter::Instance()->CreateVtClient("127.0.0.1", ownPort);
    ASSERT_NE(client, nullptr);
    ClientRecorder recorder(client);
    // /SRC/B does not exist yet: its mirror is created empty.
    ASSERT_TRUE(client->AddValueLink("/DST/B,/SRC/B", ""));
    ASSERT_TRUE(waitUntil([&] { return recorder.count(16) == 1; }, 5000));
    EXPECT_EQ(textAt(QStringLiteral("/DST/B")), QString());

    ASSERT_TRUE(client->AddValueLink("/DST/A,/SRC/A", ""));
    ASSERT_TRUE(waitUntil([&] { return recorder.count(16) == 2; }, 3000));
    EXPECT_EQ(values::Tree::Instance()->FindValue(QStringLiteral("/DST/A")), existing);
    EXPECT_EQ(textAt(QStringLiteral("/DST/A")), QStringLiteral("a1"));

    // A remote value that appears later is picked up.
    putText(QStringLiteral("/SRC/B"), QStringLiteral("b1"));
    EXPECT_TRUE(waitUntil([] { return textAt(QStringLiteral("/DST/B")) == QLatin1String("b1"); }, 3000));
    // ... and one that is removed and comes back, too.
    values::Tree::Instance()->RemoveValue(QStringLiteral("/SRC/B"));
    putText(QStringLiteral("/SRC/B"), QStringLiteral("b2"));
    EXPECT_TRUE(waitUntil([] { return textAt(QStringLiteral("/DST/B")) == QLatin1String("b2"); }, 3000));

    VtClientCenter::Instance()->DestroyVtClient(client);
    EXPECT_EQ(recorder.codes(), (std::vector<unsigned int>{15, 16, 16, 18}));
    // Only what the client created is removed.
    EXPECT_EQ(values::Tree::Instance()->FindValue(QStringLiteral("/DST/A")), existing);
    EXPECT_EQ(textAt(QStringLiteral("/DST/B")), QStringLiteral("<none>"));
    values::Tree::Instance()->RemoveNode(QStringLiteral("/DST"));
    values::Tree::Instance()->RemoveNode(QStringLiteral("/SRC"));
}

TEST_F(RemoteTree, HungServerIsReportedLostWithinTheCallTimeoutAndRecovers)
{
    const int port = freePort();
    auto host = startReceiverHost(port, QStringLiteral("1"));
    ASSERT_TRUE(host);
    IVtClient *client = VtClientCenter::Instance()->CreateVtClient("127.0.0.1", port);
    ClientRecorder recorder(client);
    client->AddValueLink("/HUNG/Ip,/ADMINISTRATION/Ip", "");
    ASSERT_TRUE(waitUntil([&] { return recorder.count(16) == 1; }, 5000));

    host->suspend();
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(waitUntil([&] { return recorder.count(17) == 1; }, 4000));
    // waitMs + callMarginMs, plus scheduling.
    EXPECT_LT(timer.elapsed(), 2500);
    host->resume();
    EXPECT_TRUE(waitUntil([&] { return recorder.count(16) == 2; }, 5000));

    // Destroying it while a poll is held by the server does not wait for the
    // poll to run out.
    timer.restart();
    VtClientCenter::Instance()->DestroyVtClient(client);
    EXPECT_LT(timer.elapsed(), 250);
}

TEST_F(RemoteTree, ManyClientsOnLongPollsAreDestroyedWithoutWaitingForTheirPolls)
{
    VtClientCenter::Timing timing = VtClientCenter::Instance()->GetTiming();
    timing.waitMs = 5000;
    VtClientCenter::Instance()->SetTiming(timing);
    VtTreeServer server;
    ASSERT_TRUE(server.start());
    putText(QStringLiteral("/SRC/V"), QStringLiteral("v"));

    std::vector<IVtClient *> clients;
    std::vector<std::unique_ptr<ClientRecorder>> recorders;
    for (int i = 0; i < 10; ++i) {
        clients.push_back(VtClientCenter::Instance()->CreateVtClient("127.0.0.1", ownPort));
        recorders.push_back(std::make_unique<ClientRecorder>(clients.back()));
        clients.back()->AddValueLink(QStringLiteral("/MANY/V%1,/SRC/V").arg(i).toLocal8Bit().constData(), "");
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto &recorder : recorders) {
                if (recorder->count(16) == 0)
                    return false;
            }
            return true;
        },
        5000))
        << [&] {
               QStringList states;
               for (const auto &recorder : recorders) {
                   QStringList codes;
                   for (unsigned int code : recorder->codes())
                       codes << QString::number(code);
                   states << codes.join(QLatin1Char(','));
               }
               return states.join(QLatin1String(" | ")).toStdString();
           }();
    EXPECT_EQ(clientThreadCount(), 10);

    QElapsedTimer timer;
    timer.start();
    for (IVtClient *client : clients)
        VtClientCenter::Instance()->DestroyVtClient(client);
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_EQ(clientThreadCount(), 0);
    EXPECT_FALSE(nodeExists(QStringLiteral("/MANY")));
    values::Tree::Instance()->RemoveNode(QStringLiteral("/SRC"));
}

TEST_F(RemoteTree, UnreachableServerIsNeverReportedAndTheClientGoesQuickly)
{
    IVtClient *client = VtClientCenter::Instance()->CreateVtClient("127.0.0.1", freePort());
    ASSERT_NE(client, nullptr);
    ClientRecorder recorder(client);
    client->AddValueLink("/NOWHERE/Ip,/ADMINISTRATION/Ip", "");
    // Several connection attempts fail meanwhile.
    waitUntil([] { return false; }, 500);
    EXPECT_TRUE(recorder.events.empty());
    EXPECT_FALSE(client->IsConnected());
    EXPECT_EQ(textAt(QStringLiteral("/NOWHERE/Ip")), QString());

    QElapsedTimer timer;
    timer.start();
    VtClientCenter::Instance()->DestroyVtClient(client);
    EXPECT_LT(timer.elapsed(), 500);
    EXPECT_EQ(recorder.codes(), (std::vector<unsigned int>{18}));
}

TEST_F(RemoteTree, RejectsWhatItCannotUse)
{
    VtClientCenter *center = VtClientCenter::Instance();
    EXPECT_EQ(center->CreateVtClient(nullptr, 1234), nullptr);
    EXPECT_EQ(center->CreateVtClient("", 1234), nullptr);
    EXPECT_EQ(center->CreateVtClient("127.0.0.1", 0), nullptr);
    EXPECT_EQ(center->CreateVtClient("127.0.0.1", 70000), nullptr);
    EXPECT_FALSE(center->DestroyVtClient(nullptr));

    IVtClient *client = center->CreateVtClient("127.0.0.1", freePort());
    EXPECT_FALSE(client->AddValueLink("/no/comma", ""));
    EXPECT_FALSE(client->AddValueLink(",/remote", ""));
    EXPECT_FALSE(client->AddValueLink("/local,", ""));
    EXPECT_TRUE(center->DestroyVtClient(client));
    EXPECT_FALSE(center->DestroyVtClient(client));
}
}
