// Configuration objects of the start-up library, backed by INI files.
#include "cfgcenter.h"
#include "icfg.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace
{
class Config : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        file = dir.filePath(QStringLiteral("vorn.ini"));
        QFile ini(file);
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[ExternalCCODriver1]\n"
                  "ReconnectTimer=500\n"
                  "ValuePath=/DEVICES/PX19\n"
                  "AntennaMatrixDriver=TRUE\n"
                  "MatrixID=abc\n"
                  "OutputNumber= 3 \n"
                  "Flag1=yes\n"
                  "Flag2=0\n"
                  "Flag3=maybe\n"
                  "Hosts=ws1, ws2\n"
                  "Empty=\n"
                  "Big=99999999999\n"
                  "[Other]\n"
                  "ReconnectTimer=9\n");
        ini.close();
        CfgCenter::SetConfigLocation(file);
    }
    void TearDown() override { CfgCenter::SetConfigLocation(QString()); }

    std::unique_ptr<ICfg> create(const QString &name)
    {
        return std::unique_ptr<ICfg>(CfgCenter::CreateCfg(name, ICfg::ViewInstance, QString()));
    }

    QTemporaryDir dir;
    QString file;
};
}

TEST_F(Config, PresentKeysOfTheInstanceGroup)
{
    auto cfg = create(QStringLiteral("ExternalCCODriver1"));
    EXPECT_EQ(cfg->ReadInt(QStringLiteral("ReconnectTimer"), 2000, false), 500);
    EXPECT_EQ(cfg->ReadString(QStringLiteral("ValuePath"), QStringLiteral("/DEVICES/KRV4"), false),
              QStringLiteral("/DEVICES/PX19"));
    EXPECT_TRUE(cfg->ReadBool(QStringLiteral("AntennaMatrixDriver"), false, false));
    EXPECT_EQ(cfg->ReadInt(QStringLiteral("OutputNumber"), 0, false), 3);
    EXPECT_TRUE(cfg->ReadBool(QStringLiteral("Flag1"), false, false));
    EXPECT_FALSE(cfg->ReadBool(QStringLiteral("Flag2"), true, false));
    EXPECT_EQ(cfg->ReadString(QStringLiteral("Hosts"), QString(), false), QStringLiteral("ws1, ws2"));
    EXPECT_EQ(cfg->ReadString(QStringLiteral("Empty"), QStringLiteral("def"), false), QString())
        << "present but empty is not absent";

    auto other = create(QStringLiteral("Other"));
    EXPECT_EQ(other->ReadInt(QStringLiteral("ReconnectTimer"), 2000, false), 9) << "one group per instance";
}

TEST_F(Config, WrongTypesAndAbsentKeysGiveTheDefault)
{
    auto cfg = create(QStringLiteral("ExternalCCODriver1"));
    EXPECT_EQ(cfg->ReadInt(QStringLiteral("MatrixID"), 1, false), 1);
    EXPECT_EQ(cfg->ReadInt(QStringLiteral("Big"), 4, false), 4) << "out of int range";
    EXPECT_EQ(cfg->ReadInt(QStringLiteral("ValuePath"), 7, false), 7);
    EXPECT_TRUE(cfg->ReadBool(QStringLiteral("Flag3"), true, false));
    EXPECT_FALSE(cfg->ReadBool(QStringLiteral("Flag3"), false, false));
    EXPECT_FALSE(cfg->ReadBool(QStringLiteral("ReconnectTimer"), false, false)) << "500 is no bool";
    EXPECT_EQ(cfg->ReadString(QStringLiteral("MatrixRemoteHost"), QString(), false), QString());
    EXPECT_EQ(cfg->ReadInt(QStringLiteral("Absent"), -5, false), -5);

    auto missingGroup = create(QStringLiteral("NoSuchInstance"));
    EXPECT_EQ(missingGroup->ReadInt(QStringLiteral("ReconnectTimer"), 2000, false), 2000);
}

TEST_F(Config, WriteDefaultStoresOnlyAbsentKeys)
{
    {
        auto cfg = create(QStringLiteral("ExternalCCODriver1"));
        EXPECT_EQ(cfg->ReadInt(QStringLiteral("NewTimer"), 1500, true), 1500);
        EXPECT_TRUE(cfg->ReadBool(QStringLiteral("NewFlag"), true, true));
        EXPECT_EQ(cfg->ReadString(QStringLiteral("NewText"), QStringLiteral("x y"), true), QStringLiteral("x y"));
        EXPECT_EQ(cfg->ReadInt(QStringLiteral("MatrixID"), 1, true), 1) << "present but wrong: default, not stored";
    }
    QSettings check(file, QSettings::IniFormat);
    check.beginGroup(QStringLiteral("ExternalCCODriver1"));
    EXPECT_EQ(check.value(QStringLiteral("NewTimer")).toString(), QStringLiteral("1500"));
    EXPECT_EQ(check.value(QStringLiteral("NewFlag")).toString(), QStringLiteral("true"));
    EXPECT_EQ(check.value(QStringLiteral("NewText")).toString(), QStringLiteral("x y"));
    EXPECT_EQ(check.value(QStringLiteral("MatrixID")).toString(), QStringLiteral("abc"));

    auto again = create(QStringLiteral("ExternalCCODriver1"));
    EXPECT_EQ(again->ReadInt(QStringLiteral("NewTimer"), 1, false), 1500);
}

TEST_F(Config, LocationFromDirectoryEnvironmentOrNothing)
{
    CfgCenter::SetConfigLocation(dir.path());
    EXPECT_EQ(CfgCenter::ConfigFile(), file) << "a directory means its vorn.ini";
    EXPECT_EQ(create(QStringLiteral("ExternalCCODriver1"))->ReadInt(QStringLiteral("ReconnectTimer"), 0, false), 500);

    CfgCenter::SetConfigLocation(QString());
    qputenv("VORN_CONFIG", QFile::encodeName(dir.path()));
    EXPECT_EQ(CfgCenter::ConfigFile(), file);
    qunsetenv("VORN_CONFIG");
    EXPECT_TRUE(CfgCenter::ConfigFile().isEmpty());

    auto none = create(QStringLiteral("ExternalCCODriver1"));
    EXPECT_EQ(none->ReadInt(QStringLiteral("ReconnectTimer"), 2000, true), 2000);
    EXPECT_EQ(none->ReadString(QStringLiteral("ValuePath"), QStringLiteral("/DEVICES/KRV4"), true),
              QStringLiteral("/DEVICES/KRV4"));
    EXPECT_FALSE(none->ReadBool(QStringLiteral("AntennaMatrixDriver"), false, true));
}
