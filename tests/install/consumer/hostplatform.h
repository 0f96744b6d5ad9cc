// What the consumer needs of the host platform, behind a header that names
// none of the platform's types.
#pragma once

#include <QString>

bool startOrb(const QString &ccoCorbaloc);
void stopOrb();
