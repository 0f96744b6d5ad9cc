// installation-view: a live, read-only page of an installation, served over
// HTTP from what the CCO, the matrix managers and the receivers' value trees
// tell.
#include "history.h"
#include "installationreader.h"
#include "refreshloop.h"
#include "statepublisher.h"
#include "vieworb.h"
#include "viewsettings.h"
#include "webserver.h"

#include "externalccodriver_version.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <pthread.h>

using namespace installationview;

int main(int argc, char *argv[])
{
    // Every thread started from here on inherits the blocked signals, so that
    // only sigwait below sees them and the servers can stop in order.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    const ParsedSettings parsed = parseSettings(QCoreApplication::arguments());
    if (parsed.outcome == ParsedSettings::Outcome::Help) {
        std::fputs(parsed.text.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parsed.outcome == ParsedSettings::Outcome::Version) {
        std::printf("installation-view %s\n", EXTERNALCCODRIVER_VERSION);
        return 0;
    }
    if (parsed.outcome == ParsedSettings::Outcome::Error) {
        std::fprintf(stderr, "installation-view: %s (see --help)\n", parsed.text.toLocal8Bit().constData());
        return 2;
    }
    const ViewSettings &settings = parsed.settings;

    QString error;
    if (!initOrb(QCoreApplication::applicationFilePath(), settings.orbArguments, settings.callTimeoutMs,
            settings.connectTimeoutMs, &error)) {
        std::fprintf(stderr, "installation-view: %s\n", error.toLocal8Bit().constData());
        return 2;
    }
    int status = 0;
    {
        StatePublisher publisher;
        History history(settings.historySize);
        InstallationReader reader(settings);
        WebServer web(publisher, history, settings.refreshMs);
        const int port = web.bind(settings.listenHost, settings.listenPort, &error);
        if (port < 0) {
            std::fprintf(stderr, "installation-view: %s\n", error.toLocal8Bit().constData());
            status = 1;
        } else {
            RefreshLoop loop(reader, publisher, history, settings.refreshMs);
            loop.start();
            web.start();
            const QString host = settings.listenHost.contains(QLatin1Char(':'))
                ? QStringLiteral("[%1]").arg(settings.listenHost)
                : settings.listenHost;
            std::printf("READY http://%s:%d/\n", host.toLocal8Bit().constData(), port);
            std::fflush(stdout);
            int signal = 0;
            sigwait(&stopSignals, &signal);
            publisher.close();
            web.stop();
            loop.stop();
        }
    }
    destroyOrb();
    return status;
}
