// Lets a caller find out whether an Observable was destroyed while it was
// busy with it, typically by an observer reacting to a notification.
//
// Threads: a watch is only told about destructions on its own thread, which
// is all the platform needs: observables are notified and destroyed on the
// thread that owns them.
#pragma once

class Observable;

class ObservableWatch
{
public:
    explicit ObservableWatch(const Observable *subject);
    ~ObservableWatch();
    ObservableWatch(const ObservableWatch &) = delete;
    ObservableWatch &operator=(const ObservableWatch &) = delete;

    // True once the watched object's destructor has run.
    bool destroyed() const { return gone; }

    // Called by ~Observable.
    static void observableDestroyed(const Observable *subject);

private:
    const Observable *subject;
    bool gone = false;
    ObservableWatch *next;
};
