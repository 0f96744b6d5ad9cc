// Observers, timers, the OS facade and the exception of ZRBase.
#include "iobserver.h"
#include "observable.h"
#include "qtimerhelpers.h"
#include "vornos.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSysInfo>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace
{
struct Recorder : IObserver
{
    std::vector<unsigned int> codes;
    std::function<void(Observable *, unsigned int)> onNotify;

    void Notify(Observable *subject, unsigned int code) override
    {
        codes.push_back(code);
        if (onNotify)
            onNotify(subject, code);
    }
};

struct Order : IObserver
{
    std::vector<int> *log;
    int id;
    Order(std::vector<int> *l, int i)
        : log(l)
        , id(i)
    {
    }
    void Notify(Observable *, unsigned int) override { log->push_back(id); }
};
}

TEST(Observable, RegistrationRules)
{
    Observable subject;
    Recorder a;
    EXPECT_FALSE(subject.AddObserver(nullptr));
    EXPECT_TRUE(subject.AddObserver(&a));
    EXPECT_FALSE(subject.AddObserver(&a)) << "an observer is registered once";
    EXPECT_EQ(subject.ObserverCount(), 1);

    subject.NotifyObservers(3, &a);
    EXPECT_TRUE(a.codes.empty()) << "the causing observer knows of the change already";
    subject.NotifyObservers(3, nullptr);
    EXPECT_EQ(a.codes, std::vector<unsigned int>{3});

    subject.DeleteObserver(&a);
    subject.DeleteObserver(&a);
    EXPECT_FALSE(subject.HasObserver(&a));
    subject.NotifyObservers(2, nullptr);
    EXPECT_EQ(a.codes.size(), 1u);
}

TEST(Observable, MakeFirstObserverReordersWithoutDuplicating)
{
    Observable subject;
    std::vector<int> log;
    Order one(&log, 1), two(&log, 2), three(&log, 3);
    subject.AddObserver(&one);
    subject.AddObserver(&two);
    subject.MakeFirstObserver(&three); // not registered yet: added at the head
    subject.MakeFirstObserver(&two);
    EXPECT_EQ(subject.ObserverCount(), 3);
    subject.NotifyObservers(3, nullptr);
    EXPECT_EQ(log, (std::vector<int>{2, 3, 1}));
}

TEST(Observable, ObserversMayChangeTheListDuringARound)
{
    Observable subject;
    Recorder selfRemover, victim, adder, late, survivor;
    selfRemover.onNotify = [&](Observable *s, unsigned int) { s->DeleteObserver(&selfRemover); };
    adder.onNotify = [&](Observable *s, unsigned int) {
        s->DeleteObserver(&victim);
        s->AddObserver(&late);
    };
    subject.AddObserver(&selfRemover);
    subject.AddObserver(&adder);
    subject.AddObserver(&victim);
    subject.AddObserver(&survivor);

    subject.NotifyObservers(3, nullptr);
    EXPECT_EQ(selfRemover.codes.size(), 1u);
    EXPECT_TRUE(victim.codes.empty()) << "removed during the round: skipped";
    EXPECT_TRUE(late.codes.empty()) << "added during the round: not in it";
    EXPECT_EQ(survivor.codes.size(), 1u);

    subject.NotifyObservers(3, nullptr);
    EXPECT_EQ(selfRemover.codes.size(), 1u);
    EXPECT_EQ(late.codes.size(), 1u);
    EXPECT_EQ(survivor.codes.size(), 2u);
}

TEST(Observable, SubjectDestroyedByItsObserverEndsTheRound)
{
    auto *subject = new Observable;
    Recorder killer, after;
    killer.onNotify = [&](Observable *s, unsigned int) { delete s; };
    subject->AddObserver(&killer);
    subject->AddObserver(&after);
    subject->NotifyObservers(3, nullptr); // ASan reports any use after free here
    EXPECT_EQ(killer.codes.size(), 1u);
    EXPECT_TRUE(after.codes.empty());
}

TEST(Observable, NestedRoundsOnDifferentSubjects)
{
    Observable outer;
    auto *inner = new Observable;
    Recorder relay, innerKiller, outerTail;
    relay.onNotify = [&](Observable *, unsigned int) { inner->NotifyObservers(16, nullptr); };
    innerKiller.onNotify = [&](Observable *s, unsigned int) {
        delete s;
        inner = nullptr;
    };
    outer.AddObserver(&relay);
    outer.AddObserver(&outerTail);
    inner->AddObserver(&innerKiller);
    outer.NotifyObservers(3, nullptr);
    EXPECT_EQ(inner, nullptr);
    EXPECT_EQ(outerTail.codes, std::vector<unsigned int>{3}) << "the outer round goes on";
}

TEST(QTimerHelpers, SingleShotFiresOnceOnTheCallingThread)
{
    int calls = 0;
    QThread *firedOn = nullptr;
    std::unique_ptr<QTimer> timer(QTimerHelpers::singleShot(10, [&] {
        ++calls;
        firedOn = QThread::currentThread();
    }));
    ASSERT_TRUE(timer);
    EXPECT_TRUE(timer->isSingleShot());
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->parent(), nullptr) << "the caller parents the timer";

    QDeadlineTimer deadline(5000);
    while (calls == 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(firedOn, QThread::currentThread());

    // Give it a second chance to fire wrongly: a 10 ms repeat would have by now.
    QDeadlineTimer settle(100);
    while (!settle.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(timer->isActive());
}

TEST(QTimerHelpers, FiresOnAWorkerThreadWithItsOwnLoop)
{
    QThread worker;
    worker.setObjectName(QStringLiteral("timer-worker"));
    std::atomic<QThread *> firedOn{nullptr};
    QTimer *timer = nullptr;
    QObject anchor;
    anchor.moveToThread(&worker);
    QObject::connect(&worker, &QThread::started, &anchor, [&] {
        timer = QTimerHelpers::singleShot(0, [&] {
            firedOn = QThread::currentThread();
            QThread::currentThread()->quit();
        });
        timer->setParent(&anchor);
    });
    worker.start();
    ASSERT_TRUE(worker.wait(5000));
    EXPECT_EQ(firedOn.load(), &worker);
    // The timer is a child of the anchor, which goes with this scope.
}

TEST(VornOS, ComputerNameIsTheHostNameUnlessOverridden)
{
    IVornOS &os = VornOS::Create();
    EXPECT_EQ(&os, &VornOS::Create()) << "process-wide";
    EXPECT_EQ(os.GetComputerName(), QSysInfo::machineHostName().toStdWString());
    VornOS::SetComputerNameOverride(L"WS7");
    EXPECT_EQ(os.GetComputerName(), L"WS7");
    VornOS::SetComputerNameOverride(std::wstring());
    EXPECT_EQ(os.GetComputerName(), QSysInfo::machineHostName().toStdWString());
}
