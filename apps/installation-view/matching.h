// Whether a receiver gets the antenna its user selected: the input that the
// selected antenna names against what the matrix manager of the receiver's
// workstation shows on the receiver's output, in words an operator reads.
#pragma once

#include "receivertrees.h"

#include <QString>
#include <QVector>

#include <vector>

namespace installationview
{
struct MatrixPlace
{
    QString subsystem;
    QString workstation;
    int id = 0;
};

// Index into `matrices` of the matrix manager that serves a receiver
// registered with `host` in `subsystem`, or -1 with `why` saying what is
// missing. The workstation is the receiver's host (also by its first name
// label); failing that, the only matrix manager of the subsystem, since a
// registration may name its workstation by address.
int matrixForReceiver(
    const QString &host, const QString &subsystem, const std::vector<MatrixPlace> &matrices, QString *why);

struct MatrixSide
{
    QString label; // "AntennaMatrixManager1 on ws1"
    bool answering = false;
    bool gridKnown = false;
    QVector<int> inputOfOutput; // 1-based outputs at [output - 1]; 0: nothing
};

struct SyncVerdict
{
    // These words are what pages and scripts read.
    static constexpr const char *inSync = "in sync";
    static constexpr const char *outOfSync = "out of sync";

    QString state; // inSync, outOfSync, or empty when there is nothing to judge
    QString reason;
};

// `matrix` is null when none was found; `noMatrixWhy` then says why.
SyncVerdict judgeReceiver(
    const ReceiverReading &reading, bool treeAnswering, const MatrixSide *matrix, const QString &noMatrixWhy);
}
