#include "valueselection.h"

#include "changecodes.h"

namespace values
{
ValueSelection::~ValueSelection()
{
    ReleaseBeforeDestruction();
}

void ValueSelection::SetItems(const QStringList &names, IObserver *originator)
{
    const QStringList oldNames = GetItemNames();
    const QString oldText = GetStringValue();

    // A name stands for one item; later duplicates would never be found, and
    // the empty text means that nothing is selected.
    items.clear();
    for (const QString &itemName : names) {
        if (!itemName.isEmpty() && !GetItem(itemName))
            items.push_back(SelectionItem{itemName});
    }
    selected = -1;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!oldText.isEmpty() && items[i].name == oldText)
            selected = static_cast<int>(i);
    }

    if (GetItemNames() != oldNames || GetStringValue() != oldText)
        NotifyObservers(ChangeCode::ValueChanged, originator);
}

QStringList ValueSelection::GetItemNames() const
{
    QStringList names;
    names.reserve(static_cast<int>(items.size()));
    for (const SelectionItem &item : items)
        names.append(item.name);
    return names;
}

const SelectionItem *ValueSelection::GetItem(const QString &itemName) const
{
    for (const SelectionItem &item : items) {
        if (item.name == itemName)
            return &item;
    }
    return nullptr;
}

bool ValueSelection::SetSelectedItem(const QString &itemName, IObserver *originator)
{
    int index = -1;
    if (!itemName.isEmpty()) {
        const SelectionItem *item = GetItem(itemName);
        if (!item)
            return false;
        index = static_cast<int>(item - items.data());
    }
    if (index == selected)
        return true;
    selected = index;
    NotifyObservers(ChangeCode::ValueChanged, originator);
    return true;
}

QString ValueSelection::GetStringValue() const
{
    if (selected < 0 || selected >= static_cast<int>(items.size()))
        return QString();
    return items[static_cast<size_t>(selected)].name;
}

bool ValueSelection::SetStringValue(const QString &text, IObserver *originator)
{
    return SetSelectedItem(text, originator);
}

QString ValueSelection::TypeName() const
{
    return QStringLiteral("selection");
}
}
