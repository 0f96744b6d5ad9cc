// Observers and the trace of ZRBase.
#include "drivertrace.h"
#include "errorhandler.h"
#include "iobserver.h"
#include "observable.h"
#include "trace.h"
#include "tracesettings.h"

#include <QRegularExpression>
#include <QStringList>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace
{
struct Recorder : IObserver
{
    int calls = 0;
    std::function<void(Observable *)> onNotify;
    void Notify(Observable *subject, unsigned int) override
    {
        ++calls;
        if (onNotify)
            onNotify(subject);
    }
};
}

TEST(Observable, ObserversMayChangeTheListOrDestroyTheSubjectDuringARound)
{
    Observable subject;
    Recorder selfRemover, adder, victim, late, survivor;
    selfRemover.onNotify = [&](Observable *s) { s->DeleteObserver(&selfRemover); };
    adder.onNotify = [&](Observable *s) {
        s->DeleteObserver(&victim);
        s->AddObserver(&late);
    };
    for (Recorder *r : {&selfRemover, &adder, &victim, &survivor})
        EXPECT_TRUE(subject.AddObserver(r));
    EXPECT_FALSE(subject.AddObserver(&survivor)) << "registered once";
    subject.NotifyObservers(3, nullptr);
    subject.NotifyObservers(3, nullptr);
    EXPECT_EQ(selfRemover.calls, 1);
    EXPECT_EQ(victim.calls, 0) << "removed during the round: skipped";
    EXPECT_EQ(late.calls, 1) << "added during the round: only in the next";
    EXPECT_EQ(survivor.calls, 2);

    auto *doomed = new Observable;
    Recorder killer, after;
    killer.onNotify = [](Observable *s) { delete s; };
    doomed->AddObserver(&killer);
    doomed->AddObserver(&after);
    doomed->NotifyObservers(3, nullptr); // ASan reports any use after free here
    EXPECT_EQ(after.calls, 0);
}

TEST(Trace, MaskGatesDriverTracesAndLinesCarryTimeThreadFileLineAndText)
{
    QStringList lines;
    TraceSettings::SetTraceCapture([&lines](const QString &line) { lines.append(line); });
    TraceSettings::SetTraceFilter(0x1f | 0x40);
    DRIVER_TRACE("driver level");
    EXPECT_TRUE(lines.isEmpty()) << "bit 0x20 is off";
    TraceSettings::SetTraceFilter(ErrorHandler::TraceDriver);
    DRIVER_TRACE("driver level");
    QThread::currentThread()->setObjectName(QStringLiteral("host"));
    _Q_Trace(QStringLiteral("hello"), QStringLiteral("C:\\src\\antennacomm.cpp"), 42);
    QThread::currentThread()->setObjectName(QString());
    const std::string longText(2000, 'x');
    _Q_TraceOld("%d in %s|%s", 3, longText.c_str(), "end");
    TraceSettings::SetTraceCapture({});
    TraceSettings::SetTraceFilter(0);

    const char *patterns[] = {
        R"(^\S+ \S+ zrbase_test\.cpp:\d+ driver level$)",
        R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\S* host antennacomm\.cpp:42 hello$)",
        R"(^\S+ 0x[0-9a-f]+ 3 in x{2000}\|end$)", // thread id, no file:line, not cut at a buffer size
    };
    ASSERT_EQ(lines.size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(QRegularExpression(QString::fromLatin1(patterns[i])).match(lines[i]).hasMatch())
            << qPrintable(lines[i]);
}

// Run by ctest in processes of their own: the filter comes from
// VORN_TRACE_MASK when the handler is first created.
TEST(TraceMaskFromEnvironment, FirstInstanceReadsIt)
{
    if (!qEnvironmentVariableIsSet("ECD_EXPECTED_TRACE_MASK"))
        GTEST_SKIP() << "run by ctest with VORN_TRACE_MASK set";
    EXPECT_EQ(ErrorHandler::Instance()->GetTraceFilter(), qEnvironmentVariable("ECD_EXPECTED_TRACE_MASK").toUInt());
}

// The format-style trace formats into a buffer of 512 bytes first: texts on
// both sides of that size come out whole.
TEST(TraceBuffer, FormattedTextsAroundTheBufferSizeComeOutWhole)
{
    QStringList lines;
    TraceSettings::SetTraceCapture([&lines](const QString &line) { lines.append(line); });
    for (const int length : {511, 512, 513})
        _Q_TraceOld("%s|%s", std::string(size_t(length - 4), 'x').c_str(), "end");
    TraceSettings::SetTraceCapture({});
    ASSERT_EQ(lines.size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(lines[i].endsWith(QStringLiteral(" %1|end").arg(QString(507 + i, QLatin1Char('x'))))) << i;
}
