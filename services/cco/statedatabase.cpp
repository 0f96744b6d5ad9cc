#include "statedatabase.h"

#include "legacyjournal.h"

#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace services
{
namespace
{
// A checkpoint copies the log into the database file; done by the worker
// after this many commits, so that the log stays small.
constexpr unsigned long kCheckpointEvery = 1000;
constexpr int kUserVersion = 1;

const char *const kSchema = "CREATE TABLE IF NOT EXISTS bindings ("
                            " name TEXT NOT NULL,"
                            " kind TEXT NOT NULL CHECK (kind IN ('values', 'object')),"
                            " position TEXT NOT NULL,"
                            " reference TEXT,"
                            " PRIMARY KEY (name, kind)) WITHOUT ROWID;"
                            "CREATE TABLE IF NOT EXISTS binding_values ("
                            " name TEXT NOT NULL,"
                            " idx INTEGER NOT NULL,"
                            " value TEXT NOT NULL,"
                            " PRIMARY KEY (name, idx)) WITHOUT ROWID;"
                            "PRAGMA user_version = 1;";

std::string text(sqlite3_stmt *stmt, int column)
{
    const auto *data = static_cast<const char *>(sqlite3_column_blob(stmt, column));
    return data ? std::string(data, std::size_t(sqlite3_column_bytes(stmt, column))) : std::string();
}

void bind(sqlite3_stmt *stmt, int index, const std::string &value)
{
    // Bytes as the client sent them: SQLite stores TEXT without checking
    // its encoding, so non-UTF-8 bytes come back unchanged.
    sqlite3_bind_text(stmt, index, value.data(), int(value.size()), SQLITE_TRANSIENT);
}

bool validName(const std::string &name)
{
    if (name.rfind("CCO/", 0) != 0 || name.size() == 4 || name.back() == '/')
        return false;
    return name.find("//") == std::string::npos;
}

bool validPosition(const std::string &position)
{
    // As CcoStore writes it: per level a letter A..P for the count of hex
    // digits that follow, without leading zeros.
    if (position.empty())
        return false;
    for (std::size_t i = 0; i < position.size();) {
        const char count = position[i];
        if (count < 'A' || count > 'P')
            return false;
        const std::size_t digits = std::size_t(count - 'A' + 1);
        if (i + digits >= position.size() || (digits > 1 && position[i + 1] == '0'))
            return false;
        for (std::size_t d = 1; d <= digits; ++d) {
            const char c = position[i + d];
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
                return false;
        }
        i += 1 + digits;
    }
    return true;
}

std::string syncDirectory(const QString &file)
{
    const QByteArray dir = QFile::encodeName(QFileInfo(file).absolutePath());
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::string("cannot open directory ") + dir.constData() + ": " + std::strerror(errno);
    const bool ok = ::fsync(fd) == 0;
    const std::string error
        = ok ? std::string() : std::string("cannot sync directory ") + dir.constData() + ": " + std::strerror(errno);
    ::close(fd);
    return error;
}

std::string execute(sqlite3 *db, const char *sql)
{
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return {};
    std::string error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return error;
}

// Removes a database together with its log and index files.
void removeDatabase(const QString &path)
{
    for (const char *suffix : {"", "-wal", "-shm", "-journal"})
        QFile::remove(path + QLatin1String(suffix));
}
}

StateDatabase::StateDatabase(QString path)
    : m_path(std::move(path))
{
}

StateDatabase::~StateDatabase()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_worker.joinable())
        m_worker.join();
    close();
}

void StateDatabase::close()
{
    for (sqlite3_stmt **stmt :
        {&m_begin, &m_commit, &m_rollback, &m_insertBinding, &m_deleteBinding, &m_insertValue, &m_deleteValues}) {
        sqlite3_finalize(*stmt);
        *stmt = nullptr;
    }
    // The last connection to go checkpoints the log into the file and removes it.
    sqlite3_close(m_db);
    m_db = nullptr;
}

std::string StateDatabase::error(const char *what) const
{
    return std::string(what) + " state file " + m_path.toStdString() + ": " + sqlite3_errmsg(m_db);
}

std::string StateDatabase::openAt(const QString &path, sqlite3 **db) const
{
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), db,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(*db, 1);
        // An operator's sqlite3 shell may hold a lock for a moment.
        sqlite3_busy_timeout(*db, 2000);
        return {};
    }
    std::string error = *db ? sqlite3_errmsg(*db) : sqlite3_errstr(rc);
    sqlite3_close(*db);
    *db = nullptr;
    return "cannot open state file " + path.toStdString() + ": " + error;
}

std::string StateDatabase::readDatabase(const QString &path, std::vector<Change> &bindings) const
{
    bindings.clear();
    const std::string where = "state file " + path.toStdString();
    if (QFileInfo(path).size() == 0)
        return where + " is damaged: the file is empty";
    sqlite3 *db = nullptr;
    // Opened for writing: a log left by a killed server is recovered here.
    if (std::string error = openAt(path, &db); !error.empty())
        return error;
    std::string damage;
    sqlite3_stmt *stmt = nullptr;
    const auto fail = [&](const std::string &why) {
        damage = where + " is damaged: " + why;
        return damage;
    };
    const auto prepared = [&](const char *sql) {
        sqlite3_finalize(stmt);
        stmt = nullptr;
        return sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK;
    };
    if (!prepared("PRAGMA quick_check")) {
        fail(sqlite3_errmsg(db));
    } else {
        std::string problems;
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            const std::string line = text(stmt, 0);
            if (line != "ok")
                problems += (problems.empty() ? "" : "; ") + line;
        }
        if (rc != SQLITE_DONE)
            fail(sqlite3_errmsg(db));
        else if (!problems.empty())
            fail("quick_check: " + problems);
    }
    int tables = 0, ours = 0, version = 0;
    if (damage.empty()
        && prepared("SELECT count(*), count(*) FILTER (WHERE name IN ('bindings', 'binding_values'))"
                    " FROM sqlite_master WHERE type = 'table'")
        && sqlite3_step(stmt) == SQLITE_ROW) {
        tables = sqlite3_column_int(stmt, 0);
        ours = sqlite3_column_int(stmt, 1);
    }
    if (damage.empty() && prepared("PRAGMA user_version") && sqlite3_step(stmt) == SQLITE_ROW)
        version = sqlite3_column_int(stmt, 0);
    if (!damage.empty()) {
    } else if (tables > 0 && ours != 2) {
        fail("a database without the tables bindings and binding_values, not a cco-server state file");
    } else if (version > kUserVersion) {
        fail("written by a newer cco-server (format " + std::to_string(version) + ")");
    } else if (tables > 0) {
        if (!prepared("SELECT b.name, b.kind, b.position, b.reference, v.value FROM bindings b"
                      " LEFT JOIN binding_values v ON b.kind = 'values' AND v.name = b.name"
                      " ORDER BY b.position, b.kind, v.idx")) {
            fail(sqlite3_errmsg(db));
        } else {
            int rc;
            while (damage.empty() && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                const std::string name = text(stmt, 0), kind = text(stmt, 1);
                const bool values = kind == "values";
                const bool same = !bindings.empty() && bindings.back().name == name
                    && (bindings.back().op == Change::BindValues) == values;
                if (!same) {
                    Change change;
                    change.op = values ? Change::BindValues : Change::BindObject;
                    change.name = name;
                    change.position = text(stmt, 2);
                    if (!values)
                        change.fields.push_back(text(stmt, 3));
                    if (!validName(name) || !validPosition(change.position)
                        || (!values && sqlite3_column_type(stmt, 3) == SQLITE_NULL))
                        fail("binding '" + name + "' (" + kind + ") is malformed");
                    bindings.push_back(std::move(change));
                }
                if (values && sqlite3_column_type(stmt, 4) != SQLITE_NULL)
                    bindings.back().fields.push_back(text(stmt, 4));
            }
            if (damage.empty() && rc != SQLITE_DONE)
                fail(sqlite3_errmsg(db));
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    if (!damage.empty())
        bindings.clear();
    return damage;
}

std::string StateDatabase::read(OnDamage onDamage, std::vector<Change> &bindings, std::vector<std::string> &notes)
{
    bindings.clear();
    m_source = Source::New;
    std::string damage;
    if (QFileInfo::exists(m_path)) {
        std::string note;
        if (legacyjournal::looksLikeJournal(m_path)) {
            m_source = Source::Journal;
            damage = legacyjournal::read(m_path, bindings, &note);
        } else {
            m_source = Source::Database;
            damage = readDatabase(m_path, bindings);
        }
        if (!note.empty())
            notes.push_back(note);
    }
    if (damage.empty())
        return {};

    bindings.clear();
    if (onDamage == OnDamage::Refuse)
        return damage;
    if (onDamage == OnDamage::UsePrevious) {
        const QString previous = previousPath(m_path);
        if (!QFileInfo::exists(previous))
            return damage + "; there is no kept copy " + previous.toStdString();
        const std::string keptDamage = legacyjournal::looksLikeJournal(previous)
            ? legacyjournal::read(previous, bindings, nullptr)
            : readDatabase(previous, bindings);
        if (!keptDamage.empty())
            return damage + "; the kept copy is no good either: " + keptDamage;
    }
    // The damaged file stays for whoever wants to look at it; its log goes
    // with it, so that the new database does not read it as its own.
    const QString aside = path() + QStringLiteral(".damaged");
    removeDatabase(aside);
    for (const char *suffix : {"", "-wal", "-shm"}) {
        const QString from = m_path + QLatin1String(suffix);
        if (QFileInfo::exists(from) && !QFile::rename(from, aside + QLatin1String(suffix)))
            return damage + "; cannot move it aside to " + (aside + QLatin1String(suffix)).toStdString();
    }
    notes.push_back(damage + "; moved aside to " + aside.toStdString());
    if (onDamage == OnDamage::UsePrevious)
        notes.push_back("started from the kept copy " + previousPath(m_path).toStdString() + " with "
            + std::to_string(bindings.size()) + " bindings");
    else
        notes.push_back("started empty");
    m_source = Source::Rebuilt;
    return {};
}

std::string StateDatabase::configure()
{
    // Full: the commit syncs the log. Normal: it only writes it, and the
    // worker syncs it within the interval.
    // Small pages: a change touches two or three of them, and each goes to
    // the log whole. Takes effect only on a file that has no pages yet.
    const std::string pragmas = std::string("PRAGMA page_size = 1024; PRAGMA journal_mode = WAL; PRAGMA synchronous = ")
        + (m_syncMs == 0 ? "FULL" : "NORMAL") + "; PRAGMA wal_autocheckpoint = 0; PRAGMA cache_size = -512;";
    if (std::string error = execute(m_db, pragmas.c_str()); !error.empty())
        return "cannot set up state file " + m_path.toStdString() + ": " + error;
    sqlite3_stmt *mode = nullptr;
    std::string journalMode;
    if (sqlite3_prepare_v2(m_db, "PRAGMA journal_mode", -1, &mode, nullptr) == SQLITE_OK
        && sqlite3_step(mode) == SQLITE_ROW)
        journalMode = text(mode, 0);
    sqlite3_finalize(mode);
    if (journalMode != "wal")
        return "state file " + m_path.toStdString() + " cannot use WAL journal mode (" + journalMode + ")";
    if (std::string error = execute(m_db, kSchema); !error.empty())
        return "cannot set up state file " + m_path.toStdString() + ": " + error;
    return prepare();
}

std::string StateDatabase::prepare()
{
    const struct
    {
        sqlite3_stmt **stmt;
        const char *sql;
    } statements[] = {
        {&m_begin, "BEGIN IMMEDIATE"},
        {&m_commit, "COMMIT"},
        {&m_rollback, "ROLLBACK"},
        {&m_insertBinding, "INSERT INTO bindings (name, kind, position, reference) VALUES (?1, ?2, ?3, ?4)"},
        {&m_deleteBinding, "DELETE FROM bindings WHERE name = ?1 AND kind = ?2"},
        {&m_insertValue, "INSERT INTO binding_values (name, idx, value) VALUES (?1, ?2, ?3)"},
        {&m_deleteValues, "DELETE FROM binding_values WHERE name = ?1"},
    };
    for (const auto &s : statements) {
        if (sqlite3_prepare_v3(m_db, s.sql, -1, SQLITE_PREPARE_PERSISTENT, s.stmt, nullptr) != SQLITE_OK)
            return error("cannot prepare statements for");
    }
    return {};
}

bool StateDatabase::step(sqlite3_stmt *stmt)
{
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return rc == SQLITE_DONE;
}

bool StateDatabase::applyOne(const Change &change)
{
    const bool values = change.op == Change::BindValues || change.op == Change::UnbindValues;
    switch (change.op) {
    case Change::BindValues:
    case Change::BindObject:
        bind(m_insertBinding, 1, change.name);
        sqlite3_bind_text(m_insertBinding, 2, values ? "values" : "object", -1, SQLITE_STATIC);
        bind(m_insertBinding, 3, change.position);
        if (!values)
            bind(m_insertBinding, 4, change.fields.at(0));
        if (!step(m_insertBinding))
            return false;
        if (!values)
            return true;
        for (std::size_t i = 0; i < change.fields.size(); ++i) {
            bind(m_insertValue, 1, change.name);
            sqlite3_bind_int64(m_insertValue, 2, sqlite3_int64(i));
            bind(m_insertValue, 3, change.fields[i]);
            if (!step(m_insertValue))
                return false;
        }
        return true;
    case Change::UnbindValues:
    case Change::UnbindObject:
        bind(m_deleteBinding, 1, change.name);
        sqlite3_bind_text(m_deleteBinding, 2, values ? "values" : "object", -1, SQLITE_STATIC);
        if (!step(m_deleteBinding))
            return false;
        if (!values)
            return true;
        bind(m_deleteValues, 1, change.name);
        return step(m_deleteValues);
    }
    return false;
}

std::string StateDatabase::transaction(const std::function<bool()> &body)
{
    if (!step(m_begin))
        return error("cannot write");
    if (body() && step(m_commit))
        return {};
    const std::string why = error("cannot write");
    // A failed commit may already have rolled back on its own.
    if (!sqlite3_get_autocommit(m_db))
        step(m_rollback);
    return why;
}

std::string StateDatabase::write(const std::vector<Change> &live)
{
    return transaction([&] {
        if (execute(m_db, "DELETE FROM bindings; DELETE FROM binding_values;").size())
            return false;
        for (const Change &change : live) {
            if (!applyOne(change))
                return false;
        }
        return true;
    });
}

std::string StateDatabase::open(const std::vector<Change> &live, bool positionsChanged, std::vector<std::string> &notes)
{
    if (m_source == Source::Journal) {
        // Built beside the journal and renamed over it only once complete:
        // a crash on the way leaves the journal in place, taken over again
        // at the next start.
        const QString fresh = m_path + QStringLiteral(".new");
        removeDatabase(fresh);
        if (std::string error = openAt(fresh, &m_db); !error.empty())
            return error;
        std::string error = execute(m_db, "PRAGMA page_size = 1024");
        if (error.empty())
            error = execute(m_db, kSchema);
        if (error.empty())
            error = prepare();
        if (error.empty())
            error = write(live);
        close();
        if (!error.empty()) {
            removeDatabase(fresh);
            return "cannot take over the journal " + m_path.toStdString() + ": " + error;
        }
        const QByteArray name = QFile::encodeName(m_path);
        const QByteArray kept = QFile::encodeName(journalPath(m_path));
        if ((::unlink(kept.constData()) != 0 && errno != ENOENT) || ::link(name.constData(), kept.constData()) != 0
            || ::rename(QFile::encodeName(fresh).constData(), name.constData()) != 0) {
            const std::string why = std::strerror(errno);
            removeDatabase(fresh);
            return "cannot take over the journal " + m_path.toStdString() + ": " + why;
        }
        if (std::string error = syncDirectory(m_path); !error.empty())
            return error;
        notes.push_back("took over the journal " + m_path.toStdString() + " with " + std::to_string(live.size())
            + " bindings; it is kept as " + journalPath(m_path).toStdString());
    }
    if (std::string error = openAt(m_path, &m_db); !error.empty())
        return error;
    if (std::string error = configure(); !error.empty())
        return error;
    if (m_source == Source::Rebuilt || positionsChanged)
        return write(live);
    return {};
}

std::string StateDatabase::apply(const Change &change)
{
    if (!m_db)
        return "state file " + m_path.toStdString() + " is not open";
    if (std::string error = transaction([&] { return applyOne(change); }); !error.empty())
        return error;
    // The worker is woken only when this commit gives it something new to
    // do: a context switch per commit would cost more than the commit.
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_stats.commits;
        if (m_syncMs == 0)
            m_stats.synced = m_stats.commits;
        if (++m_sinceCheckpoint == kCheckpointEvery)
            wake = true;
        if (m_syncMs > 0 && !m_unsynced) {
            m_unsynced = true;
            m_syncDue = Clock::now() + std::chrono::milliseconds(m_syncMs);
            wake = true;
        }
        if (++m_sinceBackup >= kBackupEvery && !m_backupDue) {
            m_backupDue = true;
            wake = true;
        }
    }
    if (wake)
        m_wake.notify_one();
    return {};
}

std::string StateDatabase::start()
{
    sqlite3 *db = nullptr;
    if (std::string error = openAt(m_path, &db); !error.empty())
        return error;
    // Normal makes a checkpoint sync the log before and the file after it.
    if (std::string error = execute(db, "PRAGMA synchronous = NORMAL"); !error.empty()) {
        sqlite3_close(db);
        return "cannot set up state file " + m_path.toStdString() + ": " + error;
    }
    m_worker = std::thread([this, db] {
        work(db);
        sqlite3_close(db);
    });
    return {};
}

void StateDatabase::work(sqlite3 *db)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        const auto now = Clock::now();
        const bool syncNow = m_unsynced && now >= m_syncDue;
        const bool checkpointNow = m_sinceCheckpoint >= kCheckpointEvery;
        const bool backupNow = m_backupDue;
        if (!syncNow && !checkpointNow && !backupNow) {
            if (m_unsynced)
                m_wake.wait_until(lock, m_syncDue);
            else
                m_wake.wait(lock);
            continue;
        }
        // Cleared before the work starts: a commit made meanwhile asks again.
        const unsigned long covered = m_stats.commits;
        if (syncNow)
            m_unsynced = false;
        if (checkpointNow)
            m_sinceCheckpoint = 0;
        if (backupNow) {
            m_backupDue = false;
            m_sinceBackup = 0;
        }
        lock.unlock();
        const bool synced = syncNow && syncLog();
        if (checkpointNow) {
            int logFrames = 0, copied = 0;
            sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logFrames, &copied);
        }
        const bool backedUp = backupNow && backup(db);
        lock.lock();
        if (synced) {
            ++m_stats.flushes;
            m_stats.synced = std::max(m_stats.synced, covered);
        } else if (syncNow && !m_unsynced) {
            // Tried again soon; the commits stay unsynced until then.
            m_unsynced = true;
            m_syncDue = Clock::now() + std::chrono::milliseconds(std::min(m_syncMs, 100));
        }
        if (backedUp)
            ++m_stats.backups;
    }
}

bool StateDatabase::syncLog()
{
    // A commit is in the log once written; syncing the log makes it
    // durable. The log file lives as long as a connection is open.
    const QByteArray log = QFile::encodeName(m_path + QStringLiteral("-wal"));
    const int fd = ::open(log.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fdatasync(fd) == 0;
    ::close(fd);
    return ok;
}

bool StateDatabase::backup(sqlite3 *db)
{
    const QString previous = previousPath(m_path);
    const QString fresh = previous + QStringLiteral(".new");
    removeDatabase(fresh);
    sqlite3 *copy = nullptr;
    if (!openAt(fresh, &copy).empty())
        return false;
    sqlite3_backup *job = sqlite3_backup_init(copy, "main", db, "main");
    // In one step: the copy is one snapshot of the source.
    bool ok = job && sqlite3_backup_step(job, -1) == SQLITE_DONE;
    ok = sqlite3_backup_finish(job) == SQLITE_OK && ok;
    ok = sqlite3_close(copy) == SQLITE_OK && ok;
    ok = ok && ::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(previous).constData()) == 0;
    if (!ok) {
        removeDatabase(fresh);
        return false;
    }
    syncDirectory(previous);
    return true;
}

StateDatabase::Stats StateDatabase::stats() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}
}
