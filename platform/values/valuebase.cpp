#include "valuebase.h"

#include "changecodes.h"
#include "node.h"
#include "observablewatch.h"
#include "tree.h"
#include "treehost.h"

namespace values
{
ValueBase::~ValueBase() = default;

void ValueBase::SetName(const QString &newName, IObserver *)
{
    // A value in a node is found by its name; renaming it there would break
    // the node's lookup and uniqueness.
    if (parent)
        return;
    name = newName;
}

void ValueBase::SetState(int newState, IObserver *originator)
{
    if (newState == state)
        return;
    state = newState;
    NotifyObservers(ChangeCode::StateChanged, originator);
}

void ValueBase::ReleaseBeforeDestruction()
{
    SetState(StateReleased, nullptr);
}

void ValueBase::ReceiveCommand(IObserver *originator)
{
    NotifyObservers(ChangeCode::CommandReceived, originator);
}

void ValueBase::DeleteObserver(IObserver *observer)
{
    Observable::DeleteObserver(observer);
}

void ValueBase::DeleteObservers()
{
    Observable::DeleteObservers();
}

void ValueBase::NotifyObservers(unsigned int code, IObserver *causing)
{
    ObservableWatch watch(this);
    Observable::NotifyObservers(code, causing);
    if (watch.destroyed())
        return;
    const Node *root = TreeHost::Root();
    if (!root)
        return;
    // Only values that hang in the tree are reported: a listener serves them
    // by path.
    const TreeItem *top = this;
    while (top->GetParent())
        top = top->GetParent();
    if (top == root)
        TreeHost::ReportValueChange(this, code);
}
}
