#include "antennacommands.h"

#include "externalccodriver.h"
#include "hostcommands.h"

#include <QStringList>

using receivers::antenna::driver::AntennaRangeDefinition;

namespace
{
// vorn-host links the plug-in's library, so the exported member is called
// directly; the cast also tells when the loaded plug-in is something else.
ExternalCCODriver *driverOf(CommandCall &call)
{
    IDllInstance *instance = call.host().pluginInstance();
    if (!instance) {
        call.fail(QStringLiteral("no plug-in instance"));
        return nullptr;
    }
    auto *driver = dynamic_cast<ExternalCCODriver *>(instance);
    if (!driver)
        call.fail(QStringLiteral("the plug-in instance is no ExternalCCODriver"));
    return driver;
}

bool cmdRanges(CommandCall &call)
{
    std::vector<AntennaRangeDefinition> ranges;
    QString error;
    if (!parseAntennaRanges(call.rest(0), &ranges, &error))
        return call.fail(error);
    ExternalCCODriver *driver = driverOf(call);
    if (!driver)
        return false;
    driver->SetRangesToAntennaMatrix(ranges);
    // The outcome shows in the driver's trace (trace mask 0x20).
    call.print(QStringLiteral("ranges: %1 handed to the driver").arg(ranges.size()));
    return true;
}

bool cmdCommit(CommandCall &call)
{
    IDllInstance *instance = call.host().pluginInstance();
    if (!instance)
        return call.fail(QStringLiteral("no plug-in instance"));
    instance->CommitData();
    call.print(QStringLiteral("commit: CommitData called"));
    return true;
}
}

bool parseAntennaRanges(const QString &text, std::vector<AntennaRangeDefinition> *ranges, QString *error)
{
    ranges->clear();
    if (text.trimmed().isEmpty())
        return true;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const int stopColon = part.lastIndexOf(QLatin1Char(':'));
        const int startColon = stopColon > 0 ? part.lastIndexOf(QLatin1Char(':'), stopColon - 1) : -1;
        const QString name = startColon >= 0 ? part.left(startColon).trimmed() : QString();
        if (name.isEmpty()) {
            *error = QStringLiteral("'%1' is not NAME:START:STOP").arg(part.trimmed());
            return false;
        }
        bool startOk = false;
        bool stopOk = false;
        const qint64 start = part.mid(startColon + 1, stopColon - startColon - 1).trimmed().toLongLong(&startOk);
        const qint64 stop = part.mid(stopColon + 1).trimmed().toLongLong(&stopOk);
        if (!startOk || !stopOk) {
            *error = QStringLiteral("'%1': START and STOP must be whole numbers").arg(part.trimmed());
            return false;
        }
        ranges->push_back(AntennaRangeDefinition {name, start, stop});
    }
    return true;
}

void addAntennaCommands(HostCommands &commands)
{
    using Command = HostCommands::Command;
    commands.add(Command {QStringLiteral("ranges"), QStringLiteral("[NAME:START:STOP[,NAME:START:STOP...]]"),
        QStringLiteral("hands antenna ranges to the driver (SetRangesToAntennaMatrix); "
                       "nothing given sends an empty list"),
        0, -1, cmdRanges});
    commands.add(Command {QStringLiteral("commit"), QString(),
        QStringLiteral("calls the driver's CommitData, which releases the antenna's matrix input "
                       "(with AntennaSelfHealing until the antenna is selected again)"),
        0, 0, cmdCommit});
}
