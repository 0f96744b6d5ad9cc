#include "refreshloop.h"

#include "history.h"
#include "installationreader.h"
#include "statepublisher.h"

#include <QJsonDocument>

#include <omniORB4/CORBA.h>

#include <algorithm>
#include <chrono>

namespace installationview
{
RefreshLoop::RefreshLoop(InstallationReader &reader, StatePublisher &publisher, History &history, int periodMs)
    : m_reader(reader)
    , m_publisher(publisher)
    , m_history(history)
    , m_periodMs(periodMs)
{
}

RefreshLoop::~RefreshLoop()
{
    stop();
}

void RefreshLoop::start()
{
    if (!m_thread.joinable())
        m_thread = std::thread(&RefreshLoop::run, this);
}

void RefreshLoop::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

int RefreshLoop::probeWaitMs(int periodMs)
{
    return std::min(periodMs / 2, 25);
}

void RefreshLoop::run()
{
    omni_thread::ensure_self self;
    // A refresh starts one period after the last one started, or at once when
    // it took longer than that. What a matrix manager or value tree answers
    // after the refresh's wait goes out with the next one.
    const auto period = std::chrono::milliseconds(m_periodMs);
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_wake.wait_until(lock, next, [this] { return m_stopping; }))
                return;
        }
        next = std::chrono::steady_clock::now() + period;
        QJsonObject state = m_reader.refresh(probeWaitMs(m_periodMs));
        m_history.observe(state);
        // The page fetches the events it has not seen; the state only says
        // how far the history goes.
        state.insert(QStringLiteral("history"),
            QJsonObject {{QStringLiteral("latest"), double(m_history.latest())},
                {QStringLiteral("capacity"), m_history.capacity()}});
        m_publisher.publish(QJsonDocument(state).toJson(QJsonDocument::Compact));
    }
}
}
