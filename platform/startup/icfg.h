// A configuration object of the platform's start-up library.
//
// Threads: an ICfg is used by the thread that created it.
#pragma once

#include <QString>

class ICfg
{
public:
    // Where a configuration is looked up; the stand-in keeps every view in
    // the same INI group and only records the view.
    enum View { ViewSystem = 0, ViewWorkstation = 1, ViewInstance = 2 };

    virtual ~ICfg() = default;
    // Each read returns the stored value, or `def` when the key is absent or
    // its text does not parse as the requested type. With `writeDefault`
    // set, an absent key is stored with the default.
    virtual QString ReadString(QString key, QString def, bool writeDefault) = 0;
    virtual int ReadInt(QString key, int def, bool writeDefault) = 0;
    virtual bool ReadBool(QString key, bool def, bool writeDefault) = 0;
};
