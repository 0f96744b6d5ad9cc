// Finding (and where needed creating) the receiver values that the antenna
// switching observes.
#pragma once

#include <QString>

class IObserver;

namespace values
{
class ValueSelection;
}

// The value of type T at `path`, created under its parent when there is none,
// observed by `observer` when one is given. T is values::Value<int>,
// values::Value<bool>, values::Value<QString> or values::ValueSelection.
template <typename T> T *CreateObservedValue(const QString &path, IObserver *observer);

// The selection at `path`, or null; never creates one. Detaching from the
// previous value first keeps a repeated lookup from observing the same value
// twice.
values::ValueSelection *FindObservedSelection(
    const QString &path, values::ValueSelection *previous, IObserver *observer);
