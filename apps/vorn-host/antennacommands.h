// The vorn-host commands that reach the driver's antenna side: "ranges"
// (SetRangesToAntennaMatrix) and "commit" (CommitData).
#pragma once

#include "antennarangedefinition.h"

#include <QString>
#include <vector>

class HostCommands;

void addAntennaCommands(HostCommands &commands);

// Parses "NAME:START:STOP[,NAME:START:STOP...]" (blanks around the parts are
// ignored; an empty text is an empty list). A name may itself contain ':',
// the last two ':' separate the limits. False with `error` set for a part
// that does not parse.
bool parseAntennaRanges(
    const QString &text, std::vector<receivers::antenna::driver::AntennaRangeDefinition> *ranges, QString *error);
