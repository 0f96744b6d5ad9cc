// The CCO's naming store: a tree of contexts holding, per path, an optional
// list of strings and an optional object reference (kept as its stringified
// IOR, so the store needs no ORB and can be written to a state file).
//
// Names are slash separated; one leading "/" is ignored; an empty name or an
// empty segment is invalid. Absolute names start with "CCO/"; any other name
// is relative to CCO/LocalSystem/LocalSubSystem/LocalHost/. Aliases:
//   CCO/LocalSystem (or CCO/<system name>)   the system
//   .../LocalSubSystem                       .../SubSystems/<own subsystem>
//   .../SubSystems/<own subsystem>/LocalHost .../Workstations/<own workstation>
// Contexts are created by binding below them and stay when the binding goes;
// a listing shows only children that still hold a binding somewhere below.
//
// Thread-safe; every mutation is written to the state file, when one is set.
#pragma once

#include <QString>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace services
{
class CcoStore
{
public:
    struct Config
    {
        std::string system;
        std::string subsystem;
        std::string workstation;
        std::vector<std::string> subsystems;
        std::vector<std::string> workstations;
    };

    enum class Status { Ok, NotFound, AlreadyBound, InvalidName, NotAnObject };

    // What a NotFound refers to: the canonical segments from the first one
    // that is missing.
    struct Missing
    {
        std::vector<std::string> rest;
    };

    explicit CcoStore(Config config);
    ~CcoStore();

    // Loads the state file if it exists and saves every later change to it.
    // Returns an error text, empty on success.
    std::string useStateFile(const QString &path);

    Status registerValues(const std::string &name, const std::vector<std::string> &values);
    Status unregisterValues(const std::string &name, Missing *missing = nullptr);
    Status resolveValues(const std::string &name, std::vector<std::string> &out, Missing *missing = nullptr) const;

    Status registerObject(const std::string &name, const std::string &ior);
    Status unregisterObject(const std::string &name, std::string &ior, Missing *missing = nullptr);
    // NotAnObject when strings but no object are bound there.
    Status resolveObject(const std::string &name, std::string &ior, Missing *missing = nullptr) const;

    // The canonical form ("CCO/LocalSystem/SubSystems/A/...") of a valid name.
    std::optional<std::string> canonicalName(const std::string &name) const;
    // Names of the children of a canonical context that hold a binding.
    std::vector<std::string> boundChildren(const std::string &canonical) const;
    // One line per binding, for the server's "dump" command.
    std::vector<std::string> dump() const;

    const Config &config() const { return m_config; }

private:
    struct Node;

    std::optional<std::vector<std::string>> split(const std::string &name) const;
    Node *find(const std::vector<std::string> &path) const;
    Node *ensure(const std::vector<std::string> &path);
    Status missingStatus(const std::vector<std::string> &path, Missing *missing) const;
    void save();

    Config m_config;
    mutable std::mutex m_mutex;
    std::unique_ptr<Node> m_root;
    QString m_stateFile;
};
}
