#include "antennavaluelookup.h"

#include "drivertrace.h"
#include "iobserver.h"
#include "tree.h"
#include "value.h"
#include "valueselection.h"

#include <memory>

// A value of another type under the same name cannot be replaced; the new
// value is then used although the tree did not take it, which the trace
// reports.
template <typename T> T *CreateObservedValue(const QString &path, IObserver *observer)
{
    values::Tree *tree = values::Tree::Instance();
    T *value = dynamic_cast<T *>(tree->FindValue(path));
    if (!value) {
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        const QString name = path.mid(slash + 1);
        const QString parentPath = path.left(slash + 1);
        // Held until the tree has answered: a tree that throws (a value
        // where a node of the path belongs) must not leak it.
        std::unique_ptr<T> created(new T);
        created->SetName(name, nullptr);
        const bool added = tree->AddValue(parentPath, created.get());
        value = created.release();
        if (!added)
            DRIVER_TRACE(QStringLiteral("!!!!!!!MEMORY LEAK! The value with the path '%1' could not be created!!! A "
                                        "value of this name already exists for a different type!!!!!!!!")
                             .arg(path));
    }
    if (observer)
        value->AddObserver(observer);
    return value;
}

template values::Value<int> *CreateObservedValue<values::Value<int>>(const QString &, IObserver *);
template values::Value<bool> *CreateObservedValue<values::Value<bool>>(const QString &, IObserver *);
template values::Value<QString> *CreateObservedValue<values::Value<QString>>(const QString &, IObserver *);
template values::ValueSelection *CreateObservedValue<values::ValueSelection>(const QString &, IObserver *);

values::ValueSelection *FindObservedSelection(
    const QString &path, values::ValueSelection *previous, IObserver *observer)
{
    if (previous && observer)
        previous->DeleteObserver(observer);
    auto *selection = dynamic_cast<values::ValueSelection *>(values::Tree::Instance()->FindValue(path));
    if (!selection)
        return nullptr;
    if (observer)
        selection->AddObserver(observer);
    return selection;
}
