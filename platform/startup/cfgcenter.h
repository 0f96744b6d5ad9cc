// Creates the configuration objects of the platform's start-up library.
//
// The configuration is an INI file read with QSettings; each instance name is
// a group of it. The file is the one given by SetConfigLocation, else the one
// named by the environment variable VORN_CONFIG; a directory there means its
// file "vorn.ini". With neither, every read returns its default. The host
// chooses the file through cfgcenterhost.h.
#pragma once

#include "icfg.h"

class CfgCenter
{
public:
    // A new configuration for the instance `name`, owned by the caller.
    static ICfg *CreateCfg(QString name, ICfg::View view, QString variant);
};
