// The CCO's naming store: a tree of contexts holding, per path, an optional
// list of strings and an optional object reference (kept as its stringified
// IOR, so that it can be written to a state file, together with a handle the
// naming layer may attach so that resolving need not parse the IOR again).
//
// Names are slash separated; one leading "/" is ignored; an empty name or an
// empty segment is invalid. Absolute names start with "CCO/"; any other name
// is relative to CCO/LocalSystem/LocalSubSystem/LocalHost/. Aliases:
//   CCO/LocalSystem (or CCO/<system name>)   the system
//   .../LocalSubSystem                       .../SubSystems/<own subsystem>
//   .../SubSystems/<own subsystem>/LocalHost .../Workstations/<own workstation>
// Contexts are created by binding below them and stay when the binding goes,
// so a re-bound child keeps its place in the listing; a listing shows only
// children that still hold a binding somewhere below. Emptied contexts beyond
// Limits::emptyContexts are freed, oldest first.
//
// Names, values and the number of bindings are bounded (Limits). Nothing here
// recurses: names come from clients, and a depth limit set high by an
// operator must not turn into a stack overflow.
//
// Thread-safe. Readers never wait for the state file: a change is committed
// to it first and becomes visible only once it is stored.
#pragma once

#include "statedatabase.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
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

    struct Limits
    {
        std::size_t nameLength = 1024;     // bytes of a name as the client sends it
        std::size_t nameDepth = 32;        // segments of the canonical name
        std::size_t values = 1000;         // strings per binding
        std::size_t valueLength = 4096;    // bytes per string (an IOR counts as one)
        std::size_t bindings = 100000;     // value lists and objects together
        std::size_t emptyContexts = 10000; // emptied contexts kept for their place in listings
    };

    enum class Status { Ok, NotFound, AlreadyBound, InvalidName, NotAnObject, TooLarge, Full, NotStored };

    // What a NotFound refers to: the canonical segments from the first one
    // that is missing.
    struct Missing
    {
        std::vector<std::string> rest;
    };

    // What to do with a damaged state file at start-up.
    using OnDamage = StateDatabase::OnDamage;

    using ObjectHandle = std::shared_ptr<const void>;

    explicit CcoStore(Config config);
    CcoStore(Config config, Limits limits);
    ~CcoStore();
    CcoStore(const CcoStore &) = delete;
    CcoStore &operator=(const CcoStore &) = delete;

    // Loads the state file if it exists and stores every later change in
    // it. Returns an error text, empty on success; `notes` gets what was
    // taken over or set aside on the way.
    // `syncIntervalMs` as for StateDatabase::setSyncInterval.
    std::string useStateFile(const QString &path, OnDamage onDamage, int syncIntervalMs = 0,
                             std::vector<std::string> *notes = nullptr);

    // `detail` (optional) says which limit refused a call, or why a change
    // could not be stored.
    Status registerValues(const std::string &name, const std::vector<std::string> &values,
                          std::string *detail = nullptr);
    Status unregisterValues(const std::string &name, Missing *missing = nullptr, std::string *detail = nullptr);
    Status resolveValues(const std::string &name, std::vector<std::string> &out, Missing *missing = nullptr,
                         std::string *detail = nullptr) const;

    Status registerObject(const std::string &name, const std::string &ior, ObjectHandle handle = {},
                          std::string *detail = nullptr);
    Status unregisterObject(const std::string &name, std::string &ior, ObjectHandle *handle = nullptr,
                            Missing *missing = nullptr, std::string *detail = nullptr);
    // NotAnObject when strings but no object are bound there. `handle` is
    // what was attached at registration or by rememberObject, if anything.
    Status resolveObject(const std::string &name, std::string &ior, ObjectHandle *handle = nullptr,
                         Missing *missing = nullptr, std::string *detail = nullptr) const;
    // Attaches `handle` to the object bound at `name` if that is still `ior`.
    void rememberObject(const std::string &name, const std::string &ior, ObjectHandle handle);

    // Releases every attached handle; for the time before the ORB goes.
    void dropObjectHandles();

    // The canonical form ("CCO/LocalSystem/SubSystems/A/...") of a valid name.
    std::optional<std::string> canonicalName(const std::string &name) const;
    // Names of the children of a canonical context that hold a binding.
    std::vector<std::string> boundChildren(const std::string &canonical) const;
    // One line per binding, for the server's "dump" command.
    std::vector<std::string> dump() const;
    // "name-length=0 name-depth=2 ..." : calls refused by a limit so far.
    std::string refusals() const;
    std::size_t bindingCount() const;
    // "commits=N synced=N flushes=N backups=N" of the state file; empty without one.
    std::string stateStats() const;
    std::size_t contextCount() const;

    const Config &config() const { return m_config; }
    const Limits &limits() const { return m_limits; }

private:
    struct Node;
    enum Refusal { NameLength, NameDepth, ValueCount, ValueLength, StoreFull, RefusalKinds };

    std::optional<std::vector<std::string>> split(const std::string &name) const;
    std::optional<std::vector<std::string>> checkedSplit(const std::string &name, std::string *detail) const;
    Status refuse(Refusal kind, const std::string &why, std::string *detail) const;
    Node *find(const std::vector<std::string> &path) const;
    Node *ensure(const std::vector<std::string> &path);
    Status missingStatus(const std::vector<std::string> &path, Missing *missing) const;
    void addBinding(Node *node);
    void removeBinding(Node *node);
    void keepOrFreeEmpty(Node *node);
    void freeNode(Node *node);
    Node *ensure(const std::vector<std::string> &path, const std::vector<std::uint64_t> &orders);
    std::string positionFor(const std::vector<std::string> &path) const;
    Status store(const StateDatabase::Change &change, std::string *detail);
    std::vector<StateDatabase::Change> liveRecords() const;
    std::string replay(const std::vector<StateDatabase::Change> &records);
    void clear();

    const Config m_config;
    const Limits m_limits;
    // Writers hold m_writeMutex throughout (and may read the tree without
    // m_treeMutex, as nobody else changes it); they take m_treeMutex
    // exclusively only to apply a change that is already stored.
    std::mutex m_writeMutex;
    mutable std::shared_mutex m_treeMutex;
    Node *m_root = nullptr;
    std::size_t m_bindings = 0;
    std::size_t m_contexts = 0;
    std::list<Node *> m_empty; // emptied leaf contexts, oldest first
    // Numbers nodes in the order they were created, which is their order
    // among their siblings; a binding's position in the state file is the
    // chain of these numbers, so that the file sorts as the listings do.
    std::uint64_t m_nextOrder = 1;
    std::unique_ptr<StateDatabase> m_database;
    mutable std::atomic<unsigned long> m_refused[RefusalKinds] = {};
};
}
