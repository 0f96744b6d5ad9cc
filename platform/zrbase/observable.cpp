#include "observable.h"

#include "iobserver.h"
#include "observablewatch.h"
#include "observerqueries.h"

#include <algorithm>

Observable::~Observable()
{
    ObservableWatch::observableDestroyed(this);
}

bool Observable::AddObserver(IObserver *observer)
{
    if (!observer || ObserverQueries::HasObserver(*this, observer))
        return false;
    observers.push_back(observer);
    return true;
}

void Observable::DeleteObserver(IObserver *observer)
{
    observers.erase(std::remove(observers.begin(), observers.end(), observer), observers.end());
}

void Observable::DeleteObservers()
{
    observers.clear();
}

void Observable::MakeFirstObserver(IObserver *observer)
{
    if (!observer)
        return;
    DeleteObserver(observer);
    observers.insert(observers.begin(), observer);
}

void Observable::NotifyObservers(unsigned int code, IObserver *causing)
{
    // An observer may remove itself or others, add observers, or destroy this
    // object while it is notified: walk a copy, ask the live list before each
    // call, and stop touching members once this object is gone.
    const std::vector<IObserver *> round = observers;
    ObservableWatch watch(this);
    for (IObserver *observer : round) {
        if (observer == causing || !ObserverQueries::HasObserver(*this, observer))
            continue;
        observer->Notify(this, code);
        if (watch.destroyed())
            return;
    }
}

bool ObserverQueries::HasObserver(const Observable &subject, const IObserver *observer)
{
    return std::find(subject.observers.begin(), subject.observers.end(), observer) != subject.observers.end();
}

int ObserverQueries::ObserverCount(const Observable &subject)
{
    return static_cast<int>(subject.observers.size());
}
