// The campaign's registrar: a workstation that registers and removes value
// lists and locate entries through the library, driven line by line on stdin:
//   register PATH [V1,V2,...] | unregister PATH
//   locate ID HOST DEVICE PORT | unlocate ID HOST DEVICE PORT | quit
// Every line is answered "OK <line>" (or "ERROR <line>: why") once the request
// is on its way; a locate request prints "DONE <ID>" when its thread ends.
// Whether the CCO took a request is for the campaign to read at the CCO: the
// library tells its callers nothing, and neither does this program.
#include "ccolocateregistration.h"
#include "ccoregistration.h"
#include "orbhandlerhost.h"
#include "registrationtuning.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace
{
std::mutex outputMutex;

void say(const QString &line)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Returns the reason a line was refused, or an empty string.
QString run(const QString &line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString verb = words.value(0);
    if (verb == QLatin1String("register") && (words.size() == 2 || words.size() == 3)) {
        externalCCODriver::CCORegistration::registerAtCCO(
            words.at(1), words.value(2).split(QLatin1Char(','), Qt::SkipEmptyParts));
        return {};
    }
    if (verb == QLatin1String("unregister") && words.size() == 2) {
        externalCCODriver::CCORegistration::unregisterFromCCO(words.at(1));
        return {};
    }
    if ((verb == QLatin1String("locate") || verb == QLatin1String("unlocate")) && words.size() == 5) {
        bool ok = false;
        const int port = words.at(4).toInt(&ok, 10);
        if (!ok || port <= 0 || port > 65535)
            return QStringLiteral("'%1' is not a port").arg(words.at(4));
        const QString id = words.at(1);
        // The constructor starts the thread; the object goes once it ended.
        auto *request = new CCOLocateRegistration(
            words.at(2), words.at(3), QStringLiteral("campaign"), port, QStringLiteral("Locate%1"), verb == "locate");
        QObject::connect(request, &QThread::finished, qApp, [request, id] {
            say(QStringLiteral("DONE ") + id);
            request->deleteLater();
        }, Qt::QueuedConnection);
        return {};
    }
    if (verb == QLatin1String("quit")) {
        QCoreApplication::quit();
        return {};
    }
    return QStringLiteral("unknown command");
}

int usage(bool help)
{
    std::fprintf(help ? stdout : stderr,
        "usage: campaign-registrar CCO-CORBALOC RETRY-MS MS-PER-SECOND\n"
        "Registers and removes at the CCO what stdin asks for (see the source's head).\n");
    return help ? 0 : 2;
}
}

int main(int argc, char *argv[])
{
    if (argc == 2 && qstrcmp(argv[1], "--help") == 0)
        return usage(true);
    if (argc != 4)
        return usage(false);
    QCoreApplication app(argc, argv);
    bool retryOk = false;
    bool secondOk = false;
    const int retryMs = QString::fromLocal8Bit(argv[2]).toInt(&retryOk);
    const int secondMs = QString::fromLocal8Bit(argv[3]).toInt(&secondOk);
    if (!retryOk || !secondOk || retryMs <= 0 || secondMs <= 0) {
        std::fprintf(stderr, "campaign-registrar: RETRY-MS and MS-PER-SECOND must be positive numbers\n");
        return 2;
    }
    // The library's paces are fixed for production; the campaign shortens
    // them through the tuning kept for tests, so that its settle bound stays
    // a few seconds.
    externalCCODriver::tuning::setRegistrationRetryInterval(retryMs);
    externalCCODriver::tuning::setLocateRegistrationSecond(secondMs);
    CorbaCommon::OrbHandlerHost::Init({QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=") + argv[1]});

    // stdin is read on a thread of its own; each line is run on the main
    // thread, where the requests' Qt objects belong. End of input quits.
    std::thread reader([] {
        std::string text;
        while (std::getline(std::cin, text)) {
            const QString line = QString::fromLocal8Bit(text.c_str()).trimmed();
            if (line.isEmpty())
                continue;
            QMetaObject::invokeMethod(qApp, [line] {
                const QString why = run(line);
                say(why.isEmpty() ? QStringLiteral("OK ") + line : QStringLiteral("ERROR %1: %2").arg(line, why));
            }, Qt::QueuedConnection);
        }
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    reader.detach();
    say(QStringLiteral("READY registrar"));
    const int code = app.exec();
    // Requests still under way are abandoned with the process: a workstation
    // that goes away does the same.
    std::fflush(stdout);
    std::_Exit(code);
}
