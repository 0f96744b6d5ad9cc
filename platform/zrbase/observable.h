// Subject side of the platform's observer pattern.
//
// Threads: an Observable is used from the thread that owns it (for values
// and nodes, the host thread). The observer list is not locked.
#pragma once

#include <vector>

class IObserver;

class Observable
{
public:
    Observable() = default;
    Observable(const Observable &) = delete;
    Observable &operator=(const Observable &) = delete;

    virtual ~Observable();
    // false when the observer is null or already registered.
    virtual bool AddObserver(IObserver *observer);
    virtual void DeleteObserver(IObserver *observer);
    virtual void DeleteObservers();
    virtual void MakeFirstObserver(IObserver *observer);
    // Notifies every registered observer except `causing`, which made the
    // change and knows of it already. Observers added during the round are
    // not notified in it; observers removed during it are skipped. An
    // observer may even destroy this object: the round then ends (callers
    // that go on afterwards check with an ObservableWatch).
    virtual void NotifyObservers(unsigned int code, IObserver *causing);

protected:
    std::vector<IObserver *> observers;

private:
    // The stand-in's own questions about the list (observerqueries.h),
    // for hosts and tests; the driver has only the operations above.
    friend struct ObserverQueries;
};
