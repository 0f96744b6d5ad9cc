// The CCO's state file: an SQLite database in WAL mode that holds every
// binding the store acknowledged. Each change is one transaction, committed
// before apply() returns; with a sync interval the commit reaches the disk
// within that interval through a checkpoint run by a thread of its own, which
// also checkpoints the log in sync-each mode and keeps the consistent copy
// PATH.previous (an online backup at start and after every so many changes),
// so that no client's call waits for either.
//
// Not thread-safe for writers: the store serialises its calls to apply().
#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace services
{
class StateDatabase
{
public:
    struct Change
    {
        // The letters are those of the journal format the server used before.
        enum Op : char { BindValues = 'V', UnbindValues = 'v', BindObject = 'O', UnbindObject = 'o' };
        Op op = BindValues;
        std::string name; // canonical, "CCO/..."
        std::vector<std::string> fields; // the values, or the object's IOR
        // Sort key of the binding's place in the listings (binds only); empty
        // in records taken over from a journal.
        std::string position;
    };

    enum class OnDamage { Refuse, StartEmpty, UsePrevious };

    struct Stats
    {
        unsigned long commits = 0;
        unsigned long synced = 0; // commits known to be on disk
        unsigned long flushes = 0; // syncs of the log by the worker, each for commits made before it
        unsigned long backups = 0; // copies written to PATH.previous
    };

    static QString previousPath(const QString &path) { return path + QStringLiteral(".previous"); }
    static QString journalPath(const QString &path) { return path + QStringLiteral(".journal"); }

    explicit StateDatabase(QString path);
    ~StateDatabase();
    StateDatabase(const StateDatabase &) = delete;
    StateDatabase &operator=(const StateDatabase &) = delete;

    // Where the state comes from, as read() found it.
    enum class Source { New, Database, Journal, Rebuilt };

    // Reads what the server starts from, in listing order: the database,
    // a journal of the former format (taken over by open()), the kept copy
    // or nothing, as `onDamage` says for a damaged file (which is moved
    // aside as PATH.damaged). Returns an error text; `notes` gets what was
    // set aside on the way.
    std::string read(OnDamage onDamage, std::vector<Change> &bindings, std::vector<std::string> &notes);

    // Opens the database for writing so that it holds `live` (the bindings
    // as the store placed them): written afresh unless read() found the
    // database itself with these very positions. A journal is replaced only
    // once the database that holds its bindings is complete, and stays as
    // PATH.journal.
    std::string open(const std::vector<Change> &live, bool positionsChanged, std::vector<std::string> &notes);

    // 0: every commit is on disk before apply() returns. Otherwise commits
    // are written at once (a killed server loses nothing) and reach the disk
    // at most `ms` later. Set before start().
    void setSyncInterval(int ms) { m_syncMs = ms; }
    // Starts the thread that flushes, checkpoints and keeps PATH.previous.
    std::string start();

    // Commits one change; returns an error text, and then nothing of it is stored.
    std::string apply(const Change &change);

    Stats stats() const;
    const QString &path() const { return m_path; }

    // Changes between two copies to PATH.previous.
    static constexpr unsigned long kBackupEvery = 1000;

private:
    using Clock = std::chrono::steady_clock;

    std::string openAt(const QString &path, sqlite3 **db) const;
    std::string readDatabase(const QString &path, std::vector<Change> &bindings) const;
    std::string configure();
    std::string prepare();
    bool applyOne(const Change &change);
    std::string transaction(const std::function<bool()> &body);
    std::string write(const std::vector<Change> &live);
    std::string error(const char *what) const;
    bool step(sqlite3_stmt *stmt);
    void close();
    void work(sqlite3 *db);
    bool syncLog();
    bool backup(sqlite3 *db);

    const QString m_path;
    int m_syncMs = 0;
    Source m_source = Source::New;
    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_begin = nullptr, *m_commit = nullptr, *m_rollback = nullptr;
    sqlite3_stmt *m_insertBinding = nullptr, *m_deleteBinding = nullptr;
    sqlite3_stmt *m_insertValue = nullptr, *m_deleteValues = nullptr;

    // What the worker thread is to do; guarded by m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    bool m_unsynced = false;
    Clock::time_point m_syncDue;
    unsigned long m_sinceCheckpoint = 0;
    unsigned long m_sinceBackup = 0;
    bool m_backupDue = true;
    Stats m_stats;
    std::thread m_worker;
};
}
