// Configuration objects of the start-up library, backed by INI files.
#include "cfgcenter.h"
#include "cfgcenterhost.h"
#include "icfg.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace
{
std::unique_ptr<ICfg> create(const char *name)
{
    return std::unique_ptr<ICfg>(CfgCenter::CreateCfg(QString::fromLatin1(name), ICfg::ViewInstance, QString()));
}
}

TEST(Config, StoredValuesOfTheInstanceGroupElseTheDefault)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("vorn.ini");
    QFile ini(file);
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[Drv]\nReconnectTimer=500\nOutputNumber= 3 \nValuePath=/DEVICES/PX19\nHosts=ws1, ws2\nEmpty=\n"
              "AntennaMatrixDriver=TRUE\nFlag=0\nMatrixID=abc\nBig=99999999999\nMaybe=maybe\n"
              "[Other]\nReconnectTimer=9\n");
    ini.close();
    CfgCenterHost::SetConfigLocation(dir.path()); // a directory means its vorn.ini

    auto cfg = create("Drv");
    EXPECT_EQ(cfg->ReadInt("ReconnectTimer", 2000, false), 500);
    EXPECT_EQ(cfg->ReadInt("OutputNumber", 0, false), 3);
    EXPECT_EQ(cfg->ReadString("ValuePath", QString(), false), "/DEVICES/PX19");
    EXPECT_EQ(cfg->ReadString("Hosts", QString(), false), "ws1, ws2");
    EXPECT_EQ(cfg->ReadString("Empty", "def", false), QString());
    EXPECT_TRUE(cfg->ReadBool("AntennaMatrixDriver", false, false));
    EXPECT_FALSE(cfg->ReadBool("Flag", true, false));
    EXPECT_EQ(create("Other")->ReadInt("ReconnectTimer", 2000, false), 9) << "one group per instance";

    // Wrong types and absent keys or groups give the default, not garbage.
    EXPECT_EQ(cfg->ReadInt("MatrixID", 1, false), 1);
    EXPECT_EQ(cfg->ReadInt("Big", 4, false), 4);
    EXPECT_TRUE(cfg->ReadBool("Maybe", true, false));
    EXPECT_FALSE(cfg->ReadBool("Maybe", false, false));
    EXPECT_FALSE(cfg->ReadBool("ReconnectTimer", false, false));
    EXPECT_EQ(cfg->ReadInt("Absent", -5, false), -5);
    EXPECT_EQ(create("Nobody")->ReadInt("ReconnectTimer", 2000, false), 2000);

    CfgCenterHost::SetConfigLocation(QString());
    qputenv("VORN_CONFIG", QFile::encodeName(file));
    EXPECT_EQ(create("Drv")->ReadInt("ReconnectTimer", 0, false), 500);
    qunsetenv("VORN_CONFIG");
    auto none = create("Drv");
    EXPECT_EQ(none->ReadString("ValuePath", "/DEVICES/KRV4", true), "/DEVICES/KRV4");
    EXPECT_EQ(none->ReadInt("ReconnectTimer", 2000, true), 2000);
}
