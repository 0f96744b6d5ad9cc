// Questions about an Observable's observer list that the platform's hosts and
// tests ask. The driver plug-in is built without this folder on its include
// path: the host it runs in need not offer these.
#pragma once

class IObserver;
class Observable;

struct ObserverQueries
{
    static bool HasObserver(const Observable &subject, const IObserver *observer);
    static int ObserverCount(const Observable &subject);
};
