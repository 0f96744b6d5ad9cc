// The values a receiver puts into the host's tree for the driver's antenna
// side, built by the tests that play the receiver in their own process.
#pragma once

#include "tree.h"
#include "value.h"
#include "valueselection.h"

#include <gtest/gtest.h>

#include <QList>
#include <QPair>
#include <QStringList>

#include <memory>

namespace receivertree
{
// Null, with a test failure, when the tree refuses the value.
template <typename T> T *addValue(const QString &parent, const QString &name)
{
    auto value = std::make_unique<T>();
    value->SetName(name, nullptr);
    const bool added = values::Tree::Instance()->AddValue(parent, value.get());
    EXPECT_TRUE(added) << qPrintable(parent + "/" + name);
    return added ? value.release() : nullptr;
}

inline void addAntennaNode(const QString &device, const QString &name, int externalNumber)
{
    if (auto *number = addValue<values::Value<int>>(device + "/ANTENNAS/" + name, "ExternalNumber"))
        number->SetValue(externalNumber, nullptr);
}

// ANTENNAS/MatrixOut, ANTENNA offering `names`, HARDWARESTATUS and LASTDRIVERERROR: what a receiver
// puts beside its antenna table.
inline void addReceiverValues(const QString &device, const QStringList &names, const QString &status, int out)
{
    if (auto *matrixOut = addValue<values::Value<int>>(device + "/ANTENNAS", "MatrixOut"))
        matrixOut->SetValue(out, nullptr);
    if (auto *antenna = addValue<values::ValueSelection>(device, "ANTENNA"))
        antenna->SetItems(names, nullptr);
    if (auto *hardware = addValue<values::ValueSelection>(device, "HARDWARESTATUS")) {
        hardware->SetItems({"STOPPED", "RUNNING"}, nullptr);
        hardware->SetSelectedItem(status, nullptr);
    }
    addValue<values::Value<QString>>(device, "LASTDRIVERERROR");
}

// The receiver's values and its antenna table, ANTENNAS/<name>/ExternalNumber.
inline void buildReceiver(
    const QString &device, const QList<QPair<QString, int>> &antennas, const QString &status, int out)
{
    QStringList names;
    for (const auto &antenna : antennas) {
        names << antenna.first;
        addAntennaNode(device, antenna.first, antenna.second);
    }
    addReceiverValues(device, names, status, out);
}

// What the operator does: selects `item` of the selection at `path`.
inline void select(const QString &path, const QString &item)
{
    auto *selection = dynamic_cast<values::ValueSelection *>(values::Tree::Instance()->FindValue(path));
    ASSERT_TRUE(selection && selection->SetSelectedItem(item, nullptr)) << qPrintable(path + " " + item);
}
}
