#include "statepublisher.h"

#include <chrono>

namespace installationview
{
void StatePublisher::publish(const QByteArray &json)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (json == m_json)
            return;
        m_json = json;
        ++m_version;
    }
    m_changed.notify_all();
}

QByteArray StatePublisher::latest(quint64 *version) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (version)
        *version = m_version;
    return m_json;
}

bool StatePublisher::waitForNewer(quint64 seen, int timeoutMs, quint64 *version, QByteArray *json) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_closed || m_version > seen; });
    *version = m_version;
    *json = m_json;
    return !m_closed;
}

void StatePublisher::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_changed.notify_all();
}
}
