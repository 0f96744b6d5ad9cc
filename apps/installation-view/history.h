// What changed in the installation, told from one refreshed state to the
// next: the last events, newest last, in memory only and bounded.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QVector>

#include <deque>
#include <mutex>

namespace installationview
{
struct HistoryEvent
{
    quint64 id = 0; // rises by one per event, from 1
    qint64 time = 0; // ms since the epoch, the refresh that saw it
    QString kind; // "tree lost", "out of sync", ... (stable words for scripts)
    QString subject; // the receiver, matrix manager or CCO it is about
    QString receiver; // the receiver concerned, if any, for filtering
    QString text;
};

class History
{
public:
    static constexpr int defaultCapacity = 1000;

    explicit History(int capacity = defaultCapacity);

    // Refreshing thread: compares `state` (as InstallationReader::refresh
    // makes it) with the previous one and keeps what changed. The first
    // state is the baseline: what is there already is not an event, except
    // what needs attention.
    void observe(const QJsonObject &state);

    // Any thread. Newest first; `receiver` empty means every event, `since`
    // only events with a larger id.
    QVector<HistoryEvent> events(const QString &receiver = QString(), quint64 since = 0) const;
    quint64 latest() const;
    int capacity() const { return m_capacity; }
    QJsonObject toJson(const QString &receiver, quint64 since) const;
    QByteArray toCsv(const QString &receiver) const;

private:
    struct Receiver
    {
        QString answering; // "yes", "no", "" not known yet
        QString antenna;
        QString error;
        QString sync;
        bool driverKnown = false;
    };
    struct Matrix
    {
        QString label;
        bool answering = false;
        bool hasGrid = false;
        QVector<int> inputOfOutput;
        QMap<int, QString> outputNames;
    };

    void add(qint64 time, const QString &kind, const QString &subject, const QString &receiver, const QString &text);
    void observeMatrices(const QJsonObject &state, qint64 now);
    void observeReceivers(const QJsonObject &state, qint64 now);

    const int m_capacity;
    mutable std::mutex m_mutex; // guards m_events and m_nextId
    std::deque<HistoryEvent> m_events;
    quint64 m_nextId = 1;

    // Refreshing thread only.
    bool m_started = false;
    bool m_ccoAnswering = true;
    QMap<QString, Receiver> m_receivers;
    QMap<QString, Matrix> m_matrices; // kept after they vanish, to compare on return
};
}
