// Runs the commands of vorn-host one after the other, from a script file and
// from stdin, in the order they were read. A command that waits (wait,
// waitfor) holds back the ones after it while the event loop goes on.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QQueue>
#include <QString>

class HostCommands;
class HostServices;
class QSocketNotifier;

class CommandRunner : public QObject
{
    Q_OBJECT

public:
    CommandRunner(HostCommands &commands, HostServices &host, QObject *parent = nullptr);

    // Queues the lines of a script file; false with `error` set when it
    // cannot be read.
    bool addScript(const QString &path, QString *error);
    // Reads commands from stdin as they arrive, until its end.
    void readStdin();
    // Runs what is queued; further lines run as they come.
    void start();
    // No further command runs.
    void stop();

    int failureCount() const { return failures; }

Q_SIGNALS:
    // Every command read from stdin before its end has run.
    void stdinFinished();

private:
    struct Entry
    {
        QString source;
        QString line;
        bool endOfStdin = false;
    };

    void runQueued();
    void commandDone(bool ok);
    void readStdinChunk();
    void takeStdinLines(bool atEnd);

    HostCommands &commands;
    HostServices &host;
    QQueue<Entry> queue;
    bool started = false;
    bool stopped = false;
    bool busy = false;
    bool inExecute = false;
    int failures = 0;

    QSocketNotifier *stdinNotifier = nullptr;
    QByteArray stdinBuffer;
    int stdinLineNumber = 0;
};
