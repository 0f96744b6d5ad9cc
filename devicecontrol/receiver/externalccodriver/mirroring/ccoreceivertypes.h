// Records shared by the receiver list mirroring, its connectors and the
// modules that use them.
#pragma once

#include <QList>
#include <QMap>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QStringList>

namespace externalCCODriver
{
namespace mirroring
{
/// A receiver's host (name or address, as registered) and the port of its
/// value-tree server. Equal when both hosts are equal as exact, case-sensitive
/// strings and both ports are equal; ordered host first.
typedef QPair<QString, int> ReceiverIdentifier;

/// What ReceiverCCO::init() is to mirror; copied.
struct CcoInitParameters
{
    /// Tree path of each mirrored receiver; "%1" becomes its local number.
    QString subTreePattern;
    /// Never connected, whatever the CCO lists.
    QList<ReceiverIdentifier> excludedReceivers;
    /// Names of the values mirrored from each connected receiver, relative
    /// to the receiver's device path (its ADMINISTRATION/DRIVERVTPATH).
    QStringList mirroredValues;
};

/// A mirrored receiver, as ReceiverCCO::receiverConnected reports it.
struct CcoReceiverProperties
{
    /// The local number; receiverDisconnected later carries the same one.
    /// -1 only in a record that no connector has filled in yet.
    int index = -1;
    /// The current text of the receiver's mirrored "Ip" value.
    QString ip;
    /// For each mirrored value name: the local tree path of its mirror.
    QMap<QString, QString> valuePaths;
};
}
}

// Declared only: the library registers nothing, so the signals carrying it
// are delivered on the emitting thread unless a user registers the type.
Q_DECLARE_METATYPE(externalCCODriver::mirroring::CcoReceiverProperties)
