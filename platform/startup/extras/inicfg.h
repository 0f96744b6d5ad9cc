// The configuration object that CfgCenter hands out: one group of an INI file.
#pragma once

#include "icfg.h"

#include <memory>

class QSettings;

class IniCfg : public ICfg
{
public:
    // An empty file means there is no configuration: every read returns its
    // default and nothing is written.
    IniCfg(const QString &file, const QString &group, View view, const QString &variant);
    ~IniCfg() override;

    QString ReadString(QString key, QString def, bool writeDefault) override;
    int ReadInt(QString key, int def, bool writeDefault) override;
    bool ReadBool(QString key, bool def, bool writeDefault) override;

    QString Group() const { return group; }
    View GetView() const { return view; }
    QString Variant() const { return variant; }

private:
    // The stored text, or a null string when the key is absent.
    QString storedText(const QString &key) const;
    void store(const QString &key, const QString &text);

    std::unique_ptr<QSettings> settings;
    QString group;
    View view;
    QString variant;
};
