#include "tree.h"

#include "node.h"
#include "observablewatch.h"
#include "treehost.h"
#include "valuebase.h"
#include "zrexception.h"

#include <QStringList>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace values
{
namespace
{
std::atomic<Tree *> theTree{nullptr};
std::mutex createMutex;
// Values inside RemoveValue's release notification on this thread.
thread_local std::vector<ValueBase *> beingReleased;

QStringList segments(const QString &path)
{
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}
}

struct Tree::Listeners
{
    std::map<int, ValueListener> byId;
    int nextId = 1;
};

Tree *Tree::Instance()
{
    return theTree.load(std::memory_order_acquire);
}

Tree *Tree::Create()
{
    std::lock_guard<std::mutex> lock(createMutex);
    Tree *tree = theTree.load(std::memory_order_acquire);
    if (!tree) {
        tree = new Tree;
        theTree.store(tree, std::memory_order_release);
    }
    return tree;
}

void Tree::Destroy()
{
    std::lock_guard<std::mutex> lock(createMutex);
    // ~Tree clears the instance once everything in it is gone.
    delete theTree.load(std::memory_order_acquire);
}

Tree::Tree()
    : root(new Node(QString()))
    , listeners(new Listeners)
{
}

Tree::~Tree()
{
    // The root is unhooked first: observers that look the tree up while its
    // values are released find it empty rather than half destroyed.
    Node *oldRoot = root;
    root = nullptr;
    delete oldRoot;
    delete listeners;
    listeners = nullptr;
    Tree *self = this;
    theTree.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

ValueBase *Tree::FindValue(QString path)
{
    const QStringList names = segments(path);
    if (names.isEmpty())
        return nullptr;
    Node *parent = FindNode(QStringList(names.mid(0, names.size() - 1)).join(QLatin1Char('/')));
    return parent ? parent->GetChildValue(names.last()) : nullptr;
}

Node *Tree::FindNode(const QString &path)
{
    Node *node = root;
    for (const QString &name : segments(path)) {
        if (!node)
            return nullptr;
        node = node->GetChildNode(name);
    }
    return node;
}

bool Tree::AddValue(QString parentPath, ValueBase *value)
{
    if (!value || value->GetParent() || !root)
        return false;
    const QString name = value->GetName();
    if (name.isEmpty())
        throw ZRException(QStringLiteral("Tree::AddValue: the value for '%1' has no name").arg(parentPath));
    if (name.contains(QLatin1Char('/')))
        throw ZRException(QStringLiteral("Tree::AddValue: the value name '%1' contains '/'").arg(name));
    Node *parent = AddNode(parentPath);
    if (!parent)
        throw ZRException(QStringLiteral("Tree::AddValue: the path '%1' runs through a value").arg(parentPath));
    return parent->InsertChild(value);
}

void Tree::RemoveValue(QString path)
{
    ValueBase *value = FindValue(path);
    if (!value)
        return;
    // An observer that removes the value again while it is being released
    // leaves the job to the removal under way, so every observer of the
    // value still hears the release.
    if (std::find(beingReleased.begin(), beingReleased.end(), value) != beingReleased.end())
        return;
    {
        ObservableWatch watch(value);
        beingReleased.push_back(value);
        value->SetState(ValueBase::StateReleased, nullptr);
        beingReleased.erase(std::find(beingReleased.begin(), beingReleased.end(), value));
        // The value can still be destroyed behind the tree's back (deleted
        // directly by an observer).
        if (watch.destroyed())
            return;
    }
    if (Node *parent = value->GetParent()) {
        ObservableWatch watch(value);
        parent->TakeChild(value->GetName());
        if (watch.destroyed())
            return;
    }
    delete value;
}

Node *Tree::AddNode(const QString &path)
{
    Node *node = root;
    for (const QString &name : segments(path)) {
        if (!node)
            return nullptr;
        TreeItem *child = node->GetChild(name);
        if (!child) {
            auto *created = new Node(name);
            node->InsertChild(created);
            child = created;
        }
        node = dynamic_cast<Node *>(child);
    }
    return node;
}

bool Tree::RemoveNode(const QString &path)
{
    Node *node = FindNode(path);
    if (!node || node == root)
        return false;
    Node *parent = node->GetParent();
    if (parent) {
        ObservableWatch watch(node);
        parent->TakeChild(node->GetName());
        if (watch.destroyed())
            return true;
    }
    delete node;
    return true;
}

int Tree::AddValueListener(ValueListener listener)
{
    const int id = listeners->nextId++;
    listeners->byId.emplace(id, std::move(listener));
    return id;
}

void Tree::RemoveValueListener(int id)
{
    listeners->byId.erase(id);
}

void Tree::ReportValueChange(ValueBase *value, unsigned int code)
{
    if (!value || !listeners || listeners->byId.empty())
        return;
    // Listeners may remove themselves or the value; the same rules as for
    // observers apply.
    const std::map<int, ValueListener> round = listeners->byId;
    ObservableWatch watch(value);
    for (const auto &entry : round) {
        if (!entry.second || listeners->byId.find(entry.first) == listeners->byId.end())
            continue;
        entry.second(value, code);
        if (watch.destroyed())
            return;
    }
}

Tree *TreeHost::Create()
{
    return Tree::Create();
}

void TreeHost::Destroy()
{
    Tree::Destroy();
}

Node *TreeHost::AddNode(const QString &path)
{
    Tree *tree = Tree::Instance();
    return tree ? tree->AddNode(path) : nullptr;
}

bool TreeHost::RemoveNode(const QString &path)
{
    Tree *tree = Tree::Instance();
    return tree && tree->RemoveNode(path);
}

Node *TreeHost::Root()
{
    Tree *tree = Tree::Instance();
    return tree ? tree->Root() : nullptr;
}

int TreeHost::AddValueListener(ValueListener listener)
{
    Tree *tree = Tree::Instance();
    return tree ? tree->AddValueListener(std::move(listener)) : -1;
}

void TreeHost::RemoveValueListener(int id)
{
    if (Tree *tree = Tree::Instance())
        tree->RemoveValueListener(id);
}

void TreeHost::ReportValueChange(ValueBase *value, unsigned int code)
{
    if (Tree *tree = Tree::Instance())
        tree->ReportValueChange(value, code);
}
}
