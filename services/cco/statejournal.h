// The CCO's state file: an append-only journal of one-line records, each
// with its own checksum, so that no record nests another however deep a
// name is, a damaged line is found by its number, and a registration costs
// one append whatever the size of the store.
//
// Every append is written (and, without a sync interval, synced) before it
// returns; a failed append is cut off again so the file stays loadable. Compaction writes the live bindings to a new
// file, keeps the file it replaces as <path>.previous, renames the new one
// into place and syncs the directory.
//
// Not thread-safe: the store serialises its writers.
#pragma once

#include <QString>

#include <cstddef>
#include <string>
#include <vector>

namespace services
{
class StateJournal
{
public:
    struct Record
    {
        enum Op : char { BindValues = 'V', UnbindValues = 'v', BindObject = 'O', UnbindObject = 'o' };
        Op op;
        std::string name;                // canonical, "CCO/..."
        std::vector<std::string> fields; // the values, or the object's IOR
    };

    struct Contents
    {
        std::vector<Record> records;
        std::string error;    // "state file P is damaged at line N (byte B): why"; empty when loadable
        std::string note;     // something dropped that was never acknowledged
        long long validBytes = 0; // where appending may go on
    };

    // Reads a journal; a missing file is an empty one.
    static Contents read(const QString &path);
    static QString previousPath(const QString &path) { return path + QStringLiteral(".previous"); }

    explicit StateJournal(QString path);
    ~StateJournal();
    StateJournal(const StateJournal &) = delete;
    StateJournal &operator=(const StateJournal &) = delete;

    // Opens for appending after `validBytes` (cutting off anything behind
    // it), creating the file when there is none. Returns an error text.
    std::string open(long long validBytes);
    // Returns an error text; empty once the record is on disk.
    std::string append(const Record &record);
    // Replaces the file by one holding just `live`; the old file stays the
    // journal when this fails. Returns an error text.
    std::string rewrite(const std::vector<Record> &live);

    // 0: every append is on disk before it returns (one disk flush per
    // registration). Otherwise appends are written at once, so a crash of
    // the server loses nothing, and flushed to disk at most `ms` apart, so a
    // crash of the machine loses at most that span.
    void setSyncInterval(int ms) { m_syncIntervalMs = ms; }

    std::size_t recordsSinceRewrite() const { return m_records; }
    const QString &path() const { return m_path; }

private:
    QString m_path;
    int m_fd = -1;
    long long m_size = 0;
    std::size_t m_records = 0;
    int m_syncIntervalMs = 0;
    long long m_lastSyncMs = 0;
    bool m_unsynced = false;
};
}
