// Helpers of the driver tests: captured driver traces and a configuration
// file in a temporary directory.
#pragma once

#include "errorhandler.h"

#include <QAbstractEventDispatcher>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <mutex>

namespace drivertest
{
class TraceLog
{
public:
    TraceLog()
    {
        ErrorHandler::Instance()->SetTraceFilter(ErrorHandler::TraceDriver);
        ErrorHandler::Instance()->SetTraceCapture([this](const QString &line) {
            std::lock_guard<std::mutex> lock(mutex);
            captured << line;
        });
    }
    ~TraceLog() { ErrorHandler::Instance()->SetTraceCapture({}); }

    int count(const QString &text) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return int(std::count_if(
            captured.begin(), captured.end(), [&text](const QString &line) { return line.contains(text); }));
    }
    int size() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return captured.size();
    }
    QString all() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return captured.join(QLatin1Char('\n'));
    }

private:
    mutable std::mutex mutex;
    QStringList captured;
};

// An INI file with one group per instance name, made the process's
// configuration.
class Config
{
public:
    explicit Config(const QMap<QString, QMap<QString, QString>> &groups);
    ~Config();
    QString file() const { return path; }

private:
    QTemporaryDir dir;
    QString path;
};

// A loopback port bound but not listening for as long as this lives: a
// connection there is refused, and no server of a parallel test can take it.
class ReservedPort
{
public:
    ReservedPort();
    ~ReservedPort();
    int port() const { return number; }
    QString corbaloc() const { return QStringLiteral("corbaloc::127.0.0.1:%1/CCO").arg(number); }
    // Frees the port for a server that is to start on it.
    void release();

private:
    int fd = -1;
    int number = 0;
};

inline QList<QAbstractEventDispatcher::TimerInfo> timersOf(QObject *object)
{
    return QAbstractEventDispatcher::instance()->registeredTimers(object);
}
}
