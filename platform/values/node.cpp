#include "node.h"

#include "changecodes.h"
#include "valuebase.h"

namespace values
{
Node::Node(const QString &nodeName)
{
    name = nodeName;
}

Node::~Node()
{
    // Children go one at a time, each released, taken out and then deleted,
    // so that observers reacting on the way find a consistent tree.
    while (!children.isEmpty()) {
        TreeItem *child = children.first();
        if (auto *value = dynamic_cast<ValueBase *>(child)) {
            value->SetState(ValueBase::StateReleased, nullptr);
            // An observer may have removed or destroyed the value already.
            if (byName.value(child->GetName()) != child)
                continue;
        }
        TakeChild(child->GetName());
        delete child;
    }
}

TreeItem *Node::GetChild(const QString &childName) const
{
    return byName.value(childName);
}

ValueBase *Node::GetChildValue(const QString &childName) const
{
    return dynamic_cast<ValueBase *>(GetChild(childName));
}

Node *Node::GetChildNode(const QString &childName) const
{
    return dynamic_cast<Node *>(GetChild(childName));
}

bool Node::InsertChild(TreeItem *child)
{
    if (!child || child->parent || child->GetName().isEmpty() || GetChild(child->GetName()))
        return false;
    for (const TreeItem *ancestor = this; ancestor; ancestor = ancestor->parent) {
        if (ancestor == child)
            return false;
    }
    children.append(child);
    byName.insert(child->GetName(), child);
    child->parent = this;
    NotifyObservers(ChangeCode::ChildrenChanged, nullptr);
    return true;
}

TreeItem *Node::TakeChild(const QString &childName)
{
    TreeItem *child = GetChild(childName);
    if (!child)
        return nullptr;
    byName.remove(childName);
    // The newest children are the likeliest to go first.
    const int at = children.lastIndexOf(child);
    if (at >= 0)
        children.removeAt(at);
    child->parent = nullptr;
    NotifyObservers(ChangeCode::ChildrenChanged, nullptr);
    return child;
}
}
