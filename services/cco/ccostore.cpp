#include "ccostore.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <functional>

namespace services
{
struct CcoStore::Node
{
    std::optional<std::vector<std::string>> values;
    std::string ior;
    // In the order in which the children were first bound.
    std::vector<std::pair<std::string, std::unique_ptr<Node>>> children;

    Node *child(const std::string &name) const
    {
        for (const auto &c : children) {
            if (c.first == name)
                return c.second.get();
        }
        return nullptr;
    }

    bool holdsBinding() const
    {
        if (values || !ior.empty())
            return true;
        return std::any_of(children.begin(), children.end(), [](const auto &c) { return c.second->holdsBinding(); });
    }
};

namespace
{
const std::string kSystem = "LocalSystem";

// Bytes travel as Latin-1; QString::fromLatin1 keeps every byte as it came.
QString bytes(const std::string &s)
{
    return QString::fromLatin1(s.data(), int(s.size()));
}

std::string bytes(const QString &s)
{
    return s.toLatin1().toStdString();
}

std::string join(const std::vector<std::string> &path)
{
    std::string out = "CCO";
    for (const auto &s : path)
        out += "/" + s;
    return out;
}
}

CcoStore::CcoStore(Config config)
    : m_config(std::move(config))
    , m_root(std::make_unique<Node>())
{
    // The configured structure exists from the start, so that asking below
    // a configured subsystem or workstation yields an empty list, not NotFound.
    std::vector<std::string> subsystems = m_config.subsystems;
    if (!m_config.subsystem.empty() &&
        std::find(subsystems.begin(), subsystems.end(), m_config.subsystem) == subsystems.end())
        subsystems.push_back(m_config.subsystem);
    for (const auto &sub : subsystems)
        ensure({kSystem, "SubSystems", sub});
    if (!m_config.subsystem.empty()) {
        std::vector<std::string> workstations = m_config.workstations;
        if (!m_config.workstation.empty())
            workstations.push_back(m_config.workstation);
        for (const auto &ws : workstations)
            ensure({kSystem, "SubSystems", m_config.subsystem, "Workstations", ws});
    }
}

CcoStore::~CcoStore() = default;

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

CcoStore::Node *CcoStore::find(const std::vector<std::string> &path) const
{
    Node *node = m_root.get();
    for (const auto &seg : path) {
        node = node->child(seg);
        if (!node)
            return nullptr;
    }
    return node;
}

CcoStore::Node *CcoStore::ensure(const std::vector<std::string> &path)
{
    Node *node = m_root.get();
    for (const auto &seg : path) {
        Node *next = node->child(seg);
        if (!next) {
            node->children.emplace_back(seg, std::make_unique<Node>());
            next = node->children.back().second.get();
        }
        node = next;
    }
    return node;
}

CcoStore::Status CcoStore::missingStatus(const std::vector<std::string> &path, Missing *missing) const
{
    if (missing) {
        Node *node = m_root.get();
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
    auto path = split(name);
    if (!path)
        return std::nullopt;
    return join(*path);
}

CcoStore::Status CcoStore::registerValues(const std::string &name, const std::vector<std::string> &values)
{
    auto path = split(name);
    if (!path || path->empty())
        return Status::InvalidName;
    std::lock_guard<std::mutex> lock(m_mutex);
    Node *node = ensure(*path);
    if (node->values)
        return Status::AlreadyBound;
    node->values = values;
    save();
    return Status::Ok;
}

CcoStore::Status CcoStore::unregisterValues(const std::string &name, Missing *missing)
{
    auto path = split(name);
    if (!path || path->empty())
        return Status::InvalidName;
    std::lock_guard<std::mutex> lock(m_mutex);
    Node *node = find(*path);
    if (!node)
        return missingStatus(*path, missing);
    if (!node->values) {
        if (missing)
            missing->rest = {path->back()};
        return Status::NotFound;
    }
    node->values.reset();
    save();
    return Status::Ok;
}

CcoStore::Status CcoStore::resolveValues(const std::string &name, std::vector<std::string> &out,
                                         Missing *missing) const
{
    auto path = split(name);
    if (!path)
        return Status::InvalidName;
    std::lock_guard<std::mutex> lock(m_mutex);
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
    for (const auto &c : node->children) {
        if (c.second->holdsBinding())
            out.push_back(c.first);
    }
    return Status::Ok;
}

CcoStore::Status CcoStore::registerObject(const std::string &name, const std::string &ior)
{
    auto path = split(name);
    if (!path || path->empty())
        return Status::InvalidName;
    std::lock_guard<std::mutex> lock(m_mutex);
    Node *node = ensure(*path);
    if (!node->ior.empty())
        return Status::AlreadyBound;
    node->ior = ior;
    save();
    return Status::Ok;
}

CcoStore::Status CcoStore::unregisterObject(const std::string &name, std::string &ior, Missing *missing)
{
    auto path = split(name);
    if (!path || path->empty())
        return Status::InvalidName;
    std::lock_guard<std::mutex> lock(m_mutex);
    Node *node = find(*path);
    if (!node)
        return missingStatus(*path, missing);
    if (node->ior.empty()) {
        if (missing)
            missing->rest = {path->back()};
        return Status::NotFound;
    }
    ior.swap(node->ior);
    node->ior.clear();
    save();
    return Status::Ok;
}

CcoStore::Status CcoStore::resolveObject(const std::string &name, std::string &ior, Missing *missing) const
{
    auto path = split(name);
    if (!path || path->empty())
        return Status::InvalidName;
    std::lock_guard<std::mutex> lock(m_mutex);
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
    ior = node->ior;
    return Status::Ok;
}

std::vector<std::string> CcoStore::boundChildren(const std::string &canonical) const
{
    std::vector<std::string> out;
    auto path = split(canonical);
    if (!path)
        return out;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (const Node *node = find(*path)) {
        for (const auto &c : node->children) {
            if (c.second->holdsBinding())
                out.push_back(c.first);
        }
    }
    return out;
}

std::vector<std::string> CcoStore::dump() const
{
    std::vector<std::string> out;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> path;
    std::function<void(const Node &)> walk = [&](const Node &node) {
        if (node.values) {
            std::string line = join(path) + " =";
            for (const auto &v : *node.values)
                line += " [" + v + "]";
            out.push_back(line);
        }
        if (!node.ior.empty())
            out.push_back(join(path) + " -> object");
        for (const auto &c : node.children) {
            path.push_back(c.first);
            walk(*c.second);
            path.pop_back();
        }
    };
    walk(*m_root);
    return out;
}

std::string CcoStore::useStateFile(const QString &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stateFile = path;
    QFile file(path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly))
        return "cannot read state file " + bytes(path) + ": " + file.errorString().toStdString();
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (doc.isNull() || !doc.isObject())
        return "state file " + path.toStdString() + " is not valid: " + error.errorString().toStdString();

    std::function<void(Node &, const QJsonObject &)> read = [&](Node &node, const QJsonObject &obj) {
        if (obj.contains(QLatin1String("values"))) {
            std::vector<std::string> values;
            for (const auto &v : obj.value(QLatin1String("values")).toArray())
                values.push_back(bytes(v.toString()));
            node.values = values;
        }
        node.ior = bytes(obj.value(QLatin1String("ior")).toString());
        for (const auto &c : obj.value(QLatin1String("children")).toArray()) {
            const QJsonObject child = c.toObject();
            const std::string name = bytes(child.value(QLatin1String("name")).toString());
            Node *target = node.child(name);
            if (!target) {
                node.children.emplace_back(name, std::make_unique<Node>());
                target = node.children.back().second.get();
            }
            read(*target, child);
        }
    };
    read(*m_root, doc.object());
    return {};
}

void CcoStore::save()
{
    if (m_stateFile.isEmpty())
        return;
    std::function<QJsonObject(const Node &)> write = [&](const Node &node) {
        QJsonObject obj;
        if (node.values) {
            QJsonArray values;
            for (const auto &v : *node.values)
                values.append(bytes(v));
            obj.insert(QLatin1String("values"), values);
        }
        if (!node.ior.empty())
            obj.insert(QLatin1String("ior"), bytes(node.ior));
        QJsonArray children;
        for (const auto &c : node.children) {
            QJsonObject child = write(*c.second);
            child.insert(QLatin1String("name"), bytes(c.first));
            children.append(child);
        }
        if (!children.isEmpty())
            obj.insert(QLatin1String("children"), children);
        return obj;
    };
    // Written whole and renamed into place, so a crash leaves the old state.
    QSaveFile file(m_stateFile);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(write(*m_root)).toJson(QJsonDocument::Indented));
        file.commit();
    }
}
}
