#include "observablewatch.h"

namespace
{
// Watches nest (a notification triggers another one), so they form a stack
// per thread, linked through the watch objects on the call stack.
thread_local ObservableWatch *topWatch = nullptr;
}

ObservableWatch::ObservableWatch(const Observable *watched)
    : subject(watched)
    , next(topWatch)
{
    topWatch = this;
}

ObservableWatch::~ObservableWatch()
{
    // Watches are strictly nested on the call stack, so this is the top one.
    topWatch = next;
}

void ObservableWatch::observableDestroyed(const Observable *destroyedSubject)
{
    for (ObservableWatch *watch = topWatch; watch; watch = watch->next) {
        if (watch->subject == destroyedSubject)
            watch->gone = true;
    }
}
