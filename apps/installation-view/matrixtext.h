// Reads the connectionData and statusData texts that our matrix-server
// writes. A real installation's matrix manager formats them as it likes, so
// anything that does not match that format exactly is left as text.
#pragma once

#include <QString>
#include <QVector>

#include <optional>

namespace installationview
{
struct MatrixRange
{
    int output = 0;
    int input = 0;
    qint64 start = 0;
    qint64 stop = 0;
};

struct MatrixGrid
{
    int inputs = 0;
    int outputs = 0;
    // Per output (index 0 is output 1), the connected input or 0.
    QVector<int> inputOfOutput;
    QVector<MatrixRange> ranges;
};

// nullopt when either text is not in our format or names ports beyond
// `inputs` x `outputs` (the counts the manager itself reports).
std::optional<MatrixGrid> parseMatrixTexts(
    const QString &connectionData, const QString &statusData, int inputs, int outputs);
}
