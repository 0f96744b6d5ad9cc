// A value that selects one of a list of named items.
#pragma once

#include "valuebase.h"

#include <QStringList>
#include <vector>

namespace values
{
struct SelectionItem
{
    QString name;
};

class ValueSelection : public ValueBase
{
public:
    ValueSelection() = default;
    // Released first when deleted without RemoveValue, as Value<T> is.
    ~ValueSelection() override;

    // Replaces the items (empty names and repeated names are left out). The
    // selection keeps its item when the new list has it, else it becomes
    // empty. Code 3 when the items or the text changed.
    void SetItems(const QStringList &names, IObserver *originator);
    QStringList GetItemNames() const;
    // The item of that name (exact, case-sensitive) or null.
    const SelectionItem *GetItem(const QString &name) const;

    // -1 when nothing is selected.
    int GetSelectedIndex() const { return selected; }
    // false (no change) when there is no such item; an empty name selects
    // nothing. Code 3 when it changed.
    bool SetSelectedItem(const QString &name, IObserver *originator);

    // The selected item's text, empty when nothing is selected.
    QString GetStringValue() const override;
    // Selects the item named `text`; an empty text selects nothing, so the
    // text of any selection can be written back.
    bool SetStringValue(const QString &text, IObserver *originator) override;
    QString TypeName() const override;

private:
    std::vector<SelectionItem> items;
    int selected = -1;
};
}
