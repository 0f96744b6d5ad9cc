// The pace at which a mirror asks the CCO for receivers is fixed, and every
// workstation's load on the CCO depends on it; the behaviour at that pace is
// left to the slow test, which waits through it.
#include "ccowatcher.h"
#include "receivercco.h"

#include <QTimer>

#include <gtest/gtest.h>

using externalCCODriver::mirroring::CcoInitParameters;
using externalCCODriver::mirroring::ReceiverCCO;

TEST(MirrorPace, ItsWatcherWaitsFiveSecondsBeforeEachQuery)
{
    QObject parent;
    auto *mirror = new ReceiverCCO(parent);
    CcoInitParameters parameters;
    parameters.subTreePattern = QStringLiteral("/REMOTE/RX%1");
    mirror->init(parameters);
    auto *watcher = mirror->findChild<externalCCODriver::CCOWatcher *>();
    ASSERT_NE(watcher, nullptr);
    const auto timers = watcher->findChildren<QTimer *>();
    ASSERT_EQ(timers.size(), 1);
    EXPECT_EQ(timers.first()->interval(), 5000);
    EXPECT_TRUE(timers.first()->isSingleShot());
}
