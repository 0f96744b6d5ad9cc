// What installation-view is told on its command line.
#pragma once

#include <QString>
#include <QStringList>

namespace installationview
{
struct ViewSettings
{
    QString ccoLocation;
    QString listenHost = QStringLiteral("127.0.0.1");
    int listenPort = 8080;
    bool allowRemote = false;
    int refreshMs = 1000;
    int callTimeoutMs = 2000;
    int connectTimeoutMs = 500;
    int historySize = 1000; // events kept in memory
    // Relative to each subsystem; the first one holds the receivers.
    QStringList categories {QStringLiteral("CentralServices/Receiver/PulseAnalysis")};
    QStringList orbArguments;
};

struct ParsedSettings
{
    enum class Outcome { Run, Help, Version, Error };
    Outcome outcome = Outcome::Error;
    ViewSettings settings;
    QString text; // the help text, or the reason for Error
};

ParsedSettings parseSettings(const QStringList &arguments);

// Whether `host` (a numeric address or "localhost") is reachable only from this machine.
bool isLoopbackAddress(const QString &host);
}
