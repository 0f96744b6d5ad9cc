#include "matching.h"

namespace installationview
{
int matrixForReceiver(
    const QString &host, const QString &subsystem, const std::vector<MatrixPlace> &matrices, QString *why)
{
    const QString shortName = host.section(QLatin1Char('.'), 0, 0);
    int best = -1;
    int inSubsystem = -1;
    int count = 0;
    for (int i = 0; i < int(matrices.size()); ++i) {
        const MatrixPlace &m = matrices[std::size_t(i)];
        if (m.subsystem != subsystem)
            continue;
        ++count;
        inSubsystem = i;
        const bool here = m.workstation.compare(host, Qt::CaseInsensitive) == 0
            || m.workstation.compare(shortName, Qt::CaseInsensitive) == 0;
        // The driver's MatrixID defaults to 1: the lowest id stands first.
        if (here && (best < 0 || m.id < matrices[std::size_t(best)].id))
            best = i;
    }
    if (best >= 0)
        return best;
    if (count == 1)
        return inSubsystem;
    *why = count == 0
        ? QStringLiteral("no matrix manager is registered in %1").arg(subsystem)
        : QStringLiteral("none of the %1 matrix managers of %2 is on workstation %3").arg(count).arg(subsystem, host);
    return -1;
}

SyncVerdict judgeReceiver(
    const ReceiverReading &reading, bool treeAnswering, const MatrixSide *matrix, const QString &noMatrixWhy)
{
    if (!treeAnswering)
        return {QString(), QStringLiteral("its value tree does not answer")};
    if (reading.driverPath.isEmpty())
        return {QString(), QStringLiteral("its tree names no driver (ADMINISTRATION/DRIVERVTPATH)")};
    if (reading.usingAntennaMatrix != QLatin1String("true"))
        return {QString(),
            reading.usingAntennaMatrix.isEmpty() ? QStringLiteral("no antenna matrix driver")
                                                 : QStringLiteral("not using the antenna matrix")};
    const QString out = QLatin1String(SyncVerdict::outOfSync);
    if (!matrix)
        return {out, noMatrixWhy};
    if (!matrix->answering)
        return {out, QStringLiteral("%1 does not answer").arg(matrix->label)};
    if (!matrix->gridKnown)
        return {QString(),
            QStringLiteral("%1 reports its connections in a format this view does not read").arg(matrix->label)};
    bool ok = false;
    const int output = reading.matrixOut.toInt(&ok);
    if (!ok || output <= 0)
        return {out,
            QStringLiteral("no matrix output (ANTENNAS/MatrixOut is %1)")
                .arg(reading.matrixOut.isEmpty() ? QStringLiteral("absent") : reading.matrixOut)};
    if (output > matrix->inputOfOutput.size())
        return {out,
            QStringLiteral("output %1 is beyond the %2 outputs of %3")
                .arg(output)
                .arg(matrix->inputOfOutput.size())
                .arg(matrix->label)};

    int expected = 0;
    QString wanted;
    if (reading.antenna.isEmpty()) {
        wanted = QStringLiteral("no antenna is selected");
    } else {
        const int input = reading.input.toInt(&ok);
        if (ok && input > 0) {
            expected = input;
            wanted = QStringLiteral("%1 is input %2").arg(reading.antenna).arg(input);
        } else {
            wanted = QStringLiteral("%1 has no matrix input").arg(reading.antenna);
        }
    }
    const int shown = matrix->inputOfOutput.at(output - 1);
    QString seen = shown ? QStringLiteral("output %1 shows input %2").arg(output).arg(shown)
                         : QStringLiteral("output %1 shows nothing").arg(output);
    if (shown && shown == expected)
        return {QLatin1String(SyncVerdict::inSync), QStringLiteral("%1 (%2)").arg(seen, reading.antenna)};
    if (shown == expected)
        return {QLatin1String(SyncVerdict::inSync), QStringLiteral("%1; %2").arg(seen, wanted)};
    // Name what the output shows when the receiver told which antenna that is.
    if (shown) {
        for (auto it = reading.knownInputs.cbegin(); it != reading.knownInputs.cend(); ++it) {
            if (it.value() == shown) {
                seen += QStringLiteral(" (%1)").arg(it.key());
                break;
            }
        }
    }
    return {out, QStringLiteral("%1; %2").arg(seen, wanted)};
}
}
