#include "matrixtext.h"

#include <QRegularExpression>
#include <QStringList>

namespace installationview
{
namespace
{
bool toPort(const QString &text, int count, int *port)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < 1 || value > count)
        return false;
    *port = value;
    return true;
}

// "out 2 <- in 3; out 4 <- in 1", or empty when nothing is connected.
bool readConnections(const QString &text, MatrixGrid &grid)
{
    if (text.isEmpty())
        return true;
    static const QRegularExpression item(QStringLiteral("^out (\\d+) <- in (\\d+)$"));
    for (const QString &part : text.split(QStringLiteral("; "))) {
        const QRegularExpressionMatch m = item.match(part);
        int output = 0, input = 0;
        if (!m.hasMatch() || !toPort(m.captured(1), grid.outputs, &output)
            || !toPort(m.captured(2), grid.inputs, &input) || grid.inputOfOutput[output - 1] != 0)
            return false;
        grid.inputOfOutput[output - 1] = input;
    }
    return true;
}

// "inputs=8 outputs=4 ... ranges.out2=3:1500000:30000000,6:30000000:3000000000";
// the port counts must agree with the attributes, the other keys are free.
bool readStatus(const QString &text, MatrixGrid &grid)
{
    static const QRegularExpression key(QStringLiteral("^[A-Za-z][A-Za-z0-9_.]*$"));
    static const QRegularExpression range(QStringLiteral("^(\\d+):(-?\\d+):(-?\\d+)$"));
    bool sawInputs = false, sawOutputs = false;
    for (const QString &token : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const int eq = token.indexOf(QLatin1Char('='));
        if (eq <= 0 || !key.match(token.left(eq)).hasMatch())
            return false;
        const QString name = token.left(eq);
        const QString value = token.mid(eq + 1);
        if (name == QLatin1String("inputs")) {
            sawInputs = value == QString::number(grid.inputs);
            if (!sawInputs)
                return false;
        } else if (name == QLatin1String("outputs")) {
            sawOutputs = value == QString::number(grid.outputs);
            if (!sawOutputs)
                return false;
        } else if (name.startsWith(QLatin1String("ranges.out"))) {
            int output = 0;
            if (!toPort(name.mid(10), grid.outputs, &output))
                return false;
            for (const QString &item : value.split(QLatin1Char(','))) {
                const QRegularExpressionMatch m = range.match(item);
                MatrixRange r;
                r.output = output;
                bool startOk = false, stopOk = false;
                if (!m.hasMatch() || !toPort(m.captured(1), grid.inputs, &r.input))
                    return false;
                r.start = m.captured(2).toLongLong(&startOk);
                r.stop = m.captured(3).toLongLong(&stopOk);
                if (!startOk || !stopOk)
                    return false;
                grid.ranges.append(r);
            }
        }
    }
    return sawInputs && sawOutputs;
}
}

std::optional<MatrixGrid> parseMatrixTexts(
    const QString &connectionData, const QString &statusData, int inputs, int outputs)
{
    if (inputs < 1 || outputs < 1)
        return std::nullopt;
    MatrixGrid grid;
    grid.inputs = inputs;
    grid.outputs = outputs;
    grid.inputOfOutput.fill(0, outputs);
    if (!readConnections(connectionData, grid) || !readStatus(statusData, grid))
        return std::nullopt;
    return grid;
}
}
