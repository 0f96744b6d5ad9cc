// The latest state of the installation, handed from the refreshing thread to
// the HTTP threads. Readers never wait on a CORBA call, only on this.
#pragma once

#include <QByteArray>

#include <condition_variable>
#include <mutex>

namespace installationview
{
class StatePublisher
{
public:
    // Only a state that differs from the last one wakes the waiters.
    void publish(const QByteArray &json);
    QByteArray latest(quint64 *version = nullptr) const;
    // Waits until a version newer than `seen` exists or `timeoutMs` passed;
    // false once closed.
    bool waitForNewer(quint64 seen, int timeoutMs, quint64 *version, QByteArray *json) const;
    // Wakes every waiter for good, so that the HTTP threads can end.
    void close();

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    QByteArray m_json;
    quint64 m_version = 0;
    bool m_closed = false;
};
}
