// A range that the host assigns to one antenna of the receiver; handed to the
// antenna matrix manager together with the antenna's matrix input port.
#pragma once

#include <QString>
#include <QtGlobal>

namespace receivers
{
namespace antenna
{
namespace driver
{
/// A range that the host assigns to one antenna; see
/// ExternalCCODriver::SetRangesToAntennaMatrix().
struct AntennaRangeDefinition
{
    /// The antenna, as named in the receiver's ANTENNA selection.
    QString antennaName;
    /// Passed on to the matrix unchanged; the driver gives them no unit and
    /// does not check their order.
    qint64 rangeStart;
    /// \copydoc rangeStart
    qint64 rangeStop;
};
}
}
}
