// Turns SIGINT and SIGTERM into a Qt signal on the thread that owns the
// watcher, so that the host shuts down from its event loop and not from
// inside a signal handler.
#pragma once

#include <QObject>

class QSocketNotifier;

class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    // One watcher per process: the handlers write into its pipe.
    explicit SignalWatcher(QObject *parent = nullptr);
    // Restores the default handlers.
    ~SignalWatcher() override;

    bool isValid() const { return notifier != nullptr; }

Q_SIGNALS:
    void signalReceived(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *notifier = nullptr;
};
