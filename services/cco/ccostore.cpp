#include "ccostore.h"

#include "calllog.h"

#include <QFile>

#include <algorithm>
#include <unordered_map>

namespace services
{
struct CcoStore::Node
{
    Node *parent = nullptr;
    std::string name;
    std::optional<std::vector<std::string>> values;
    std::string ior;
    ObjectHandle object;
    std::uint64_t order = 0;         // see CcoStore::m_nextOrder
    std::uint32_t bindingsBelow = 0; // its own included; bounded by Limits::bindings
    bool pinned = false;             // configured structure: never freed
    bool listedEmpty = false;
    std::list<Node *>::iterator emptyEntry;
    // Owned; in the order in which the children were first bound.
    std::vector<Node *> children;
    std::unordered_map<std::string, Node *> byName;

    Node *child(const std::string &n) const
    {
        const auto it = byName.find(n);
        return it == byName.end() ? nullptr : it->second;
    }
    bool bound() const { return values || !ior.empty(); }
};

namespace
{
const std::string kSystem = "LocalSystem";

std::string join(const std::vector<std::string> &path)
{
    std::string out = "CCO";
    for (const auto &s : path)
        out += "/" + s;
    return out;
}

// Segments of a canonical name as the state file holds it, no aliases applied.
std::vector<std::string> canonicalSegments(const std::string &name)
{
    std::vector<std::string> out;
    std::size_t start = 4; // after "CCO/"
    while (start <= name.size()) {
        const auto slash = name.find('/', start);
        out.push_back(name.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return out;
}

// A position is the chain of node numbers, each as a letter for its count
// of hex digits ('A': one ... 'P': sixteen) and the digits, so that
// positions compare as text the way the chains compare number by number,
// a parent's before its children's, and deep names cost a few bytes a level.
std::vector<std::uint64_t> positionOrders(const std::string &position)
{
    std::vector<std::uint64_t> out;
    for (std::size_t i = 0; i < position.size();) {
        const std::size_t digits = std::size_t(position[i] - 'A' + 1);
        out.push_back(std::stoull(position.substr(i + 1, digits), nullptr, 16));
        i += 1 + digits;
    }
    return out;
}

void appendOrder(std::string &position, std::uint64_t order)
{
    char buf[20];
    const int digits = std::snprintf(buf + 1, sizeof buf - 1, "%llx", static_cast<unsigned long long>(order));
    buf[0] = char('A' + digits - 1);
    position.append(buf, std::size_t(digits + 1));
}

const char *const kRefusalNames[] = {"name-length", "name-depth", "value-count", "value-length", "store-full"};
}

CcoStore::CcoStore(Config config)
    : CcoStore(std::move(config), Limits())
{
}

CcoStore::CcoStore(Config config, Limits limits)
    : m_config(std::move(config))
    , m_limits(limits)
    , m_root(new Node)
{
    m_root->pinned = true;
    // The configured structure exists from the start, so that asking below
    // a configured subsystem or workstation yields an empty list, not NotFound.
    std::vector<std::string> subsystems = m_config.subsystems;
    if (!m_config.subsystem.empty() &&
        std::find(subsystems.begin(), subsystems.end(), m_config.subsystem) == subsystems.end())
        subsystems.push_back(m_config.subsystem);
    std::vector<std::vector<std::string>> configured;
    for (const auto &sub : subsystems)
        configured.push_back({kSystem, "SubSystems", sub});
    if (!m_config.subsystem.empty()) {
        std::vector<std::string> workstations = m_config.workstations;
        if (!m_config.workstation.empty())
            workstations.push_back(m_config.workstation);
        for (const auto &ws : workstations)
            configured.push_back({kSystem, "SubSystems", m_config.subsystem, "Workstations", ws});
    }
    for (const auto &path : configured) {
        for (Node *node = ensure(path); node; node = node->parent)
            node->pinned = true;
    }
}

CcoStore::~CcoStore()
{
    clear();
    delete m_root;
}

void CcoStore::clear()
{
    // Iteratively, child before parent: a deep tree must not overflow the stack.
    std::vector<Node *> pending(m_root->children.begin(), m_root->children.end());
    while (!pending.empty()) {
        Node *node = pending.back();
        pending.pop_back();
        pending.insert(pending.end(), node->children.begin(), node->children.end());
        delete node;
    }
    m_root->children.clear();
    m_root->byName.clear();
    m_empty.clear();
    m_bindings = 0;
    m_contexts = 0;
}

std::optional<std::vector<std::string>> CcoStore::split(const std::string &name) const
{
    std::string n = name;
    if (!n.empty() && n.front() == '/')
        n.erase(0, 1);
    if (n.empty())
        return std::nullopt;
    std::vector<std::string> raw;
    std::string piece;
    for (char c : n) {
        if (c == '/') {
            raw.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    raw.push_back(piece);
    if (std::any_of(raw.begin(), raw.end(), [](const std::string &s) { return s.empty(); }))
        return std::nullopt;

    if (raw.front() == "CCO")
        raw.erase(raw.begin());
    else
        raw.insert(raw.begin(), {kSystem, "LocalSubSystem", "LocalHost"});

    std::vector<std::string> out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const std::string &seg = raw[i];
        if (out.empty() && (seg == kSystem || (!m_config.system.empty() && seg == m_config.system))) {
            out.push_back(kSystem);
        } else if (out.size() == 1 && out[0] == kSystem && seg == "LocalSubSystem") {
            out.push_back("SubSystems");
            out.push_back(m_config.subsystem);
        } else if (out.size() == 3 && out[0] == kSystem && out[1] == "SubSystems" && out[2] == m_config.subsystem &&
                   seg == "LocalHost") {
            out.push_back("Workstations");
            out.push_back(m_config.workstation);
        } else {
            out.push_back(seg);
        }
    }
    // An alias to an unconfigured name cannot be bound.
    if (std::any_of(out.begin(), out.end(), [](const std::string &s) { return s.empty(); }))
        return std::nullopt;
    return out;
}

CcoStore::Status CcoStore::refuse(Refusal kind, const std::string &why, std::string *detail) const
{
    const unsigned long count = ++m_refused[kind];
    // Counted always, reported at 1, 10, 100, ...: a flood of refusals must
    // not turn into a flood of lines.
    unsigned long power = 1;
    while (power < count && power <= 1000000000UL)
        power *= 10;
    if (power == count)
        printLine("LIMIT " + std::string(kRefusalNames[kind]) + " refused " + std::to_string(count) +
                  " call(s) so far; latest: " + why);
    if (detail)
        *detail = why;
    return kind == NameLength || kind == NameDepth ? Status::InvalidName
           : kind == StoreFull                     ? Status::Full
                                                   : Status::TooLarge;
}

std::optional<std::vector<std::string>> CcoStore::checkedSplit(const std::string &name, std::string *detail) const
{
    if (name.size() > m_limits.nameLength) {
        refuse(NameLength,
               "name of " + std::to_string(name.size()) + " bytes (limit " + std::to_string(m_limits.nameLength) + ")",
               detail);
        return std::nullopt;
    }
    auto path = split(name);
    if (path && path->size() > m_limits.nameDepth) {
        refuse(NameDepth,
               "name of " + std::to_string(path->size()) + " segments (limit " + std::to_string(m_limits.nameDepth) +
                   ")",
               detail);
        return std::nullopt;
    }
    return path;
}

CcoStore::Node *CcoStore::find(const std::vector<std::string> &path) const
{
    Node *node = m_root;
    for (const auto &seg : path) {
        node = node->child(seg);
        if (!node)
            return nullptr;
    }
    return node;
}

CcoStore::Node *CcoStore::ensure(const std::vector<std::string> &path)
{
    return ensure(path, {});
}

CcoStore::Node *CcoStore::ensure(const std::vector<std::string> &path, const std::vector<std::uint64_t> &orders)
{
    Node *node = m_root;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const std::string &seg = path[i];
        Node *next = node->child(seg);
        if (!next) {
            if (node->listedEmpty) {
                m_empty.erase(node->emptyEntry);
                node->listedEmpty = false;
            }
            next = new Node;
            next->parent = node;
            next->name = seg;
            // Numbers from the state file keep the places the nodes had.
            next->order = i < orders.size() ? orders[i] : m_nextOrder;
            m_nextOrder = std::max(m_nextOrder, next->order + 1);
            node->children.push_back(next);
            node->byName.emplace(seg, next);
            ++m_contexts;
        }
        node = next;
    }
    return node;
}

std::string CcoStore::positionFor(const std::vector<std::string> &path) const
{
    // The nodes that ensure() will create get the next numbers in turn.
    std::string position;
    const Node *node = m_root;
    std::uint64_t next = m_nextOrder;
    for (const auto &seg : path) {
        node = node ? node->child(seg) : nullptr;
        appendOrder(position, node ? node->order : next++);
    }
    return position;
}

void CcoStore::addBinding(Node *node)
{
    if (node->listedEmpty) {
        m_empty.erase(node->emptyEntry);
        node->listedEmpty = false;
    }
    for (Node *n = node; n; n = n->parent)
        ++n->bindingsBelow;
    ++m_bindings;
}

void CcoStore::removeBinding(Node *node)
{
    for (Node *n = node; n; n = n->parent)
        --n->bindingsBelow;
    --m_bindings;
    keepOrFreeEmpty(node);
}

void CcoStore::keepOrFreeEmpty(Node *node)
{
    if (node->pinned || node->bindingsBelow || !node->children.empty() || node->listedEmpty)
        return;
    node->emptyEntry = m_empty.insert(m_empty.end(), node);
    node->listedEmpty = true;
    while (m_empty.size() > m_limits.emptyContexts) {
        Node *oldest = m_empty.front();
        m_empty.pop_front();
        oldest->listedEmpty = false;
        Node *parent = oldest->parent;
        freeNode(oldest);
        // Its parent may now be an empty leaf itself, and the next to go.
        if (!parent->pinned && !parent->bindingsBelow && parent->children.empty() && !parent->listedEmpty) {
            parent->emptyEntry = m_empty.insert(m_empty.end(), parent);
            parent->listedEmpty = true;
        }
    }
}

void CcoStore::freeNode(Node *node)
{
    Node *parent = node->parent;
    parent->byName.erase(node->name);
    parent->children.erase(std::find(parent->children.begin(), parent->children.end(), node));
    --m_contexts;
    delete node; // an empty leaf: no children to free
}

CcoStore::Status CcoStore::missingStatus(const std::vector<std::string> &path, Missing *missing) const
{
    if (missing) {
        Node *node = m_root;
        std::size_t i = 0;
        for (; i < path.size(); ++i) {
            node = node->child(path[i]);
            if (!node)
                break;
        }
        missing->rest.assign(path.begin() + std::ptrdiff_t(std::min(i, path.size())), path.end());
    }
    return Status::NotFound;
}

std::optional<std::string> CcoStore::canonicalName(const std::string &name) const
{
    auto path = checkedSplit(name, nullptr);
    if (!path)
        return std::nullopt;
    return join(*path);
}

CcoStore::Status CcoStore::store(const StateDatabase::Change &change, std::string *detail)
{
    if (!m_database)
        return Status::Ok;
    const std::string error = m_database->apply(change);
    if (error.empty())
        return Status::Ok;
    printLine("STATE not stored: " + std::string(1, char(change.op)) + " " + change.name + ": " + error);
    if (detail)
        *detail = error;
    return Status::NotStored;
}

CcoStore::Status CcoStore::registerValues(const std::string &name, const std::vector<std::string> &values,
                                          std::string *detail)
{
    auto path = checkedSplit(name, detail);
    if (!path || path->empty())
        return Status::InvalidName;
    if (values.size() > m_limits.values)
        return refuse(ValueCount,
                      std::to_string(values.size()) + " values (limit " + std::to_string(m_limits.values) + ")",
                      detail);
    for (const auto &v : values) {
        if (v.size() > m_limits.valueLength)
            return refuse(ValueLength,
                          "a value of " + std::to_string(v.size()) + " bytes (limit " +
                              std::to_string(m_limits.valueLength) + ")",
                          detail);
    }
    std::lock_guard<std::mutex> writing(m_writeMutex);
    if (const Node *node = find(*path); node && node->values)
        return Status::AlreadyBound;
    if (m_bindings >= m_limits.bindings)
        return refuse(StoreFull, std::to_string(m_bindings) + " bindings (limit " + std::to_string(m_limits.bindings) + ")",
                      detail);
    const std::string canonical = join(*path);
    const std::string position = m_database ? positionFor(*path) : std::string();
    if (const auto status = store({StateDatabase::Change::BindValues, canonical, values, position}, detail);
        status != Status::Ok)
        return status;
    {
        std::unique_lock<std::shared_mutex> lock(m_treeMutex);
        Node *node = ensure(*path);
        node->values = values;
        addBinding(node);
    }
    return Status::Ok;
}

CcoStore::Status CcoStore::unregisterValues(const std::string &name, Missing *missing, std::string *detail)
{
    auto path = checkedSplit(name, detail);
    if (!path || path->empty())
        return Status::InvalidName;
    std::lock_guard<std::mutex> writing(m_writeMutex);
    Node *node = find(*path);
    if (!node)
        return missingStatus(*path, missing);
    if (!node->values) {
        if (missing)
            missing->rest = {path->back()};
        return Status::NotFound;
    }
    if (const auto status = store({StateDatabase::Change::UnbindValues, join(*path), {}, {}}, detail); status != Status::Ok)
        return status;
    {
        std::unique_lock<std::shared_mutex> lock(m_treeMutex);
        node->values.reset();
        removeBinding(node);
    }
    return Status::Ok;
}

CcoStore::Status CcoStore::resolveValues(const std::string &name, std::vector<std::string> &out, Missing *missing,
                                         std::string *detail) const
{
    auto path = checkedSplit(name, detail);
    if (!path)
        return Status::InvalidName;
    std::shared_lock<std::shared_mutex> lock(m_treeMutex);
    out.clear();
    const Node *node = find(*path);
    if (!node) {
        std::vector<std::string> parent(path->begin(), path->end() - (path->empty() ? 0 : 1));
        if (!path->empty() && find(parent))
            return Status::Ok;
        return missingStatus(*path, missing);
    }
    if (node->values) {
        out = *node->values;
        return Status::Ok;
    }
    for (const Node *c : node->children) {
        if (c->bindingsBelow)
            out.push_back(c->name);
    }
    return Status::Ok;
}

CcoStore::Status CcoStore::registerObject(const std::string &name, const std::string &ior, ObjectHandle handle,
                                          std::string *detail)
{
    auto path = checkedSplit(name, detail);
    if (!path || path->empty())
        return Status::InvalidName;
    if (ior.size() > m_limits.valueLength)
        return refuse(ValueLength,
                      "an object reference of " + std::to_string(ior.size()) + " bytes (limit " +
                          std::to_string(m_limits.valueLength) + ")",
                      detail);
    std::lock_guard<std::mutex> writing(m_writeMutex);
    if (const Node *node = find(*path); node && !node->ior.empty())
        return Status::AlreadyBound;
    if (m_bindings >= m_limits.bindings)
        return refuse(StoreFull, std::to_string(m_bindings) + " bindings (limit " + std::to_string(m_limits.bindings) + ")",
                      detail);
    const std::string position = m_database ? positionFor(*path) : std::string();
    if (const auto status = store({StateDatabase::Change::BindObject, join(*path), {ior}, position}, detail);
        status != Status::Ok)
        return status;
    {
        std::unique_lock<std::shared_mutex> lock(m_treeMutex);
        Node *node = ensure(*path);
        node->ior = ior;
        node->object = std::move(handle);
        addBinding(node);
    }
    return Status::Ok;
}

CcoStore::Status CcoStore::unregisterObject(const std::string &name, std::string &ior, ObjectHandle *handle,
                                            Missing *missing, std::string *detail)
{
    auto path = checkedSplit(name, detail);
    if (!path || path->empty())
        return Status::InvalidName;
    std::lock_guard<std::mutex> writing(m_writeMutex);
    Node *node = find(*path);
    if (!node)
        return missingStatus(*path, missing);
    if (node->ior.empty()) {
        if (missing)
            missing->rest = {path->back()};
        return Status::NotFound;
    }
    if (const auto status = store({StateDatabase::Change::UnbindObject, join(*path), {}, {}}, detail); status != Status::Ok)
        return status;
    {
        std::unique_lock<std::shared_mutex> lock(m_treeMutex);
        ior.swap(node->ior);
        node->ior.clear();
        if (handle)
            *handle = std::move(node->object);
        node->object.reset();
        removeBinding(node);
    }
    return Status::Ok;
}

CcoStore::Status CcoStore::resolveObject(const std::string &name, std::string &ior, ObjectHandle *handle,
                                         Missing *missing, std::string *detail) const
{
    auto path = checkedSplit(name, detail);
    if (!path || path->empty())
        return Status::InvalidName;
    std::shared_lock<std::shared_mutex> lock(m_treeMutex);
    const Node *node = find(*path);
    if (!node)
        return missingStatus(*path, missing);
    if (node->ior.empty()) {
        if (node->values)
            return Status::NotAnObject;
        if (missing)
            missing->rest = {path->back()};
        return Status::NotFound;
    }
    if (handle && node->object) {
        *handle = node->object;
        return Status::Ok;
    }
    ior = node->ior;
    return Status::Ok;
}

void CcoStore::rememberObject(const std::string &name, const std::string &ior, ObjectHandle handle)
{
    auto path = split(name);
    if (!path)
        return;
    std::unique_lock<std::shared_mutex> lock(m_treeMutex);
    if (Node *node = find(*path); node && node->ior == ior && !node->object)
        node->object = std::move(handle);
}

void CcoStore::dropObjectHandles()
{
    std::lock_guard<std::mutex> writing(m_writeMutex);
    std::unique_lock<std::shared_mutex> lock(m_treeMutex);
    std::vector<Node *> pending{m_root};
    while (!pending.empty()) {
        Node *node = pending.back();
        pending.pop_back();
        node->object.reset();
        pending.insert(pending.end(), node->children.begin(), node->children.end());
    }
}

std::vector<std::string> CcoStore::boundChildren(const std::string &canonical) const
{
    std::vector<std::string> out;
    auto path = checkedSplit(canonical, nullptr);
    if (!path)
        return out;
    std::shared_lock<std::shared_mutex> lock(m_treeMutex);
    if (const Node *node = find(*path)) {
        for (const Node *c : node->children) {
            if (c->bindingsBelow)
                out.push_back(c->name);
        }
    }
    return out;
}

std::vector<StateDatabase::Change> CcoStore::liveRecords() const
{
    // Depth first with an explicit stack; bindings in listing order, so
    // that replaying them creates every context in its place.
    std::vector<StateDatabase::Change> out;
    std::vector<std::pair<const Node *, std::size_t>> stack{{m_root, 0}};
    std::vector<std::string> path;
    std::vector<std::string> positions{std::string()};
    while (!stack.empty()) {
        const Node *node = stack.back().first;
        std::size_t &next = stack.back().second;
        if (next == 0 && node != m_root) {
            if (node->values)
                out.push_back({StateDatabase::Change::BindValues, join(path), *node->values, positions.back()});
            if (!node->ior.empty())
                out.push_back({StateDatabase::Change::BindObject, join(path), {node->ior}, positions.back()});
        }
        if (next < node->children.size()) {
            const Node *child = node->children[next++];
            if (child->bindingsBelow) {
                path.push_back(child->name);
                positions.push_back(positions.back());
                appendOrder(positions.back(), child->order);
                stack.emplace_back(child, 0);
            }
            continue;
        }
        stack.pop_back();
        if (node != m_root) {
            path.pop_back();
            positions.pop_back();
        }
    }
    return out;
}

std::vector<std::string> CcoStore::dump() const
{
    std::shared_lock<std::shared_mutex> lock(m_treeMutex);
    std::vector<std::string> out;
    for (const auto &r : liveRecords()) {
        if (r.op == StateDatabase::Change::BindObject) {
            out.push_back(r.name + " -> object");
            continue;
        }
        std::string line = r.name + " =";
        for (const auto &v : r.fields)
            line += " [" + v + "]";
        out.push_back(line);
    }
    return out;
}

std::string CcoStore::refusals() const
{
    std::string out;
    for (int k = 0; k < RefusalKinds; ++k)
        out += std::string(k ? " " : "") + kRefusalNames[k] + "=" + std::to_string(m_refused[k].load());
    return out;
}

std::size_t CcoStore::bindingCount() const
{
    std::shared_lock<std::shared_mutex> lock(m_treeMutex);
    return m_bindings;
}

std::size_t CcoStore::contextCount() const
{
    std::shared_lock<std::shared_mutex> lock(m_treeMutex);
    return m_contexts;
}

std::string CcoStore::replay(const std::vector<StateDatabase::Change> &records)
{
    std::size_t index = 0;
    for (const auto &r : records) {
        ++index;
        const auto path = canonicalSegments(r.name);
        if (std::any_of(path.begin(), path.end(), [](const std::string &s) { return s.empty(); }))
            return "record " + std::to_string(index) + " has an invalid name";
        Node *node = find(path);
        switch (r.op) {
        case StateDatabase::Change::BindValues:
            if (node && node->values)
                return "record " + std::to_string(index) + " binds values twice at " + r.name;
            node = ensure(path, positionOrders(r.position));
            node->values = r.fields;
            addBinding(node);
            break;
        case StateDatabase::Change::BindObject:
            if (node && !node->ior.empty())
                return "record " + std::to_string(index) + " binds an object twice at " + r.name;
            node = ensure(path, positionOrders(r.position));
            node->ior = r.fields.at(0);
            addBinding(node);
            break;
        case StateDatabase::Change::UnbindValues:
            if (!node || !node->values)
                return "record " + std::to_string(index) + " removes values that are not bound at " + r.name;
            node->values.reset();
            removeBinding(node);
            break;
        case StateDatabase::Change::UnbindObject:
            if (!node || node->ior.empty())
                return "record " + std::to_string(index) + " removes an object that is not bound at " + r.name;
            node->ior.clear();
            removeBinding(node);
            break;
        }
    }
    return {};
}

std::string CcoStore::useStateFile(const QString &path, OnDamage onDamage, int syncIntervalMs,
                                   std::vector<std::string> *notes)
{
    std::lock_guard<std::mutex> writing(m_writeMutex);
    std::unique_lock<std::shared_mutex> lock(m_treeMutex);
    std::vector<std::string> noted;
    auto database = std::make_unique<StateDatabase>(path);
    database->setSyncInterval(syncIntervalMs);
    std::vector<StateDatabase::Change> loaded;
    std::string error = database->read(onDamage, loaded, noted);
    if (error.empty()) {
        error = replay(loaded);
        if (!error.empty())
            error = "state file " + path.toStdString() + " is damaged: " + error;
    }
    if (error.empty()) {
        // Positions differ from the file's when it came from a journal, or
        // when the configured contexts changed since it was written.
        std::vector<StateDatabase::Change> live = liveRecords();
        bool changed = live.size() != loaded.size();
        for (std::size_t i = 0; !changed && i < live.size(); ++i)
            changed = live[i].name != loaded[i].name || live[i].position != loaded[i].position;
        error = database->open(live, changed, noted);
    }
    if (error.empty())
        error = database->start();
    if (notes)
        notes->insert(notes->end(), noted.begin(), noted.end());
    if (!error.empty()) {
        clear();
        return error;
    }
    m_database = std::move(database);
    return {};
}

std::string CcoStore::stateStats() const
{
    if (!m_database)
        return {};
    const StateDatabase::Stats stats = m_database->stats();
    return "commits=" + std::to_string(stats.commits) + " synced=" + std::to_string(stats.synced) +
           " flushes=" + std::to_string(stats.flushes) +
           " backups=" + std::to_string(stats.backups);
}
}
