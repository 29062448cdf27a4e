// Reading the configuration: the path from the machine settings (with its
// size limit), the first AggrServer only, and what is reported as missing.
#include <QDir>
#include <QFile>

#include "AppTestSupport.h"
#include "app/AggrConfig.h"

using guitest::WriteConfigValue;

namespace {

std::string ConfigDir() {
    const std::string dir = guitest::GetFolders().root + "/cfg";
    QDir().mkpath(QString::fromStdString(dir));
    return dir;
}

std::string WriteFile(const std::string& name, const std::string& text) {
    const std::string path = name.front() == '/' ? name : ConfigDir() + "/" + name;
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) ADD_FAILURE() << path;
    file.write(text.data(), static_cast<qint64>(text.size()));
    return path;
}

String Path(const std::string& name, const std::string& text) { return String(WriteFile(name, text).c_str()); }

const char* const kFull =
    "<?xml version=\"1.0\"?>\n"
    "<Config>\n"
    "  <AggrServer ip=\"127.0.0.1\" port=\"7443\">\n"
    "    <SslCfktFile>/certs/client.pem</SslCfktFile>\n"
    "    <SslKeyFile>/certs/client.key</SslKeyFile>\n"
    "    <SslCAFile>/certs/ca.pem</SslCAFile>\n"
    "  </AggrServer>\n"
    "</Config>\n";

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { guitest::RemoveMachineSettings(); }
};

}  // namespace

TEST_F(ConfigTest, AFullConfigurationIsRead) {
    WriteConfigValue(WriteFile("full.xml", kFull));
    const AggrConfig config = ReadAggrConfig();
    EXPECT_EQ(std::string(config.path), ConfigDir() + "/full.xml");
    EXPECT_TRUE(config.IsComplete()) << config.Problem().GetString();
    EXPECT_EQ(std::string(config.host), "127.0.0.1");
    EXPECT_EQ(config.port, 7443);
    EXPECT_EQ(std::string(config.certFile), "/certs/client.pem");
    EXPECT_EQ(std::string(config.keyFile), "/certs/client.key");
    EXPECT_EQ(std::string(config.caFile), "/certs/ca.pem");
}

TEST_F(ConfigTest, AnEmptyCaFileIsAllowedButAMissingOneIsNot) {
    const AggrConfig empty = ReadAggrConfigFile(
        Path("empty-ca.xml",
             "<C><AggrServer ip=\"h\" port=\"1\"><SslCfktFile>c</SslCfktFile><SslKeyFile>k</SslKeyFile><SslCAFile/>"
             "</AggrServer></C>"));
    EXPECT_TRUE(empty.IsComplete()) << empty.Problem().GetString();
    EXPECT_TRUE(empty.caFile.IsEmpty());
    const AggrConfig missing = ReadAggrConfigFile(
        Path("no-ca.xml",
             "<C><AggrServer ip=\"h\" port=\"1\"><SslCfktFile>c</SslCfktFile><SslKeyFile>k</SslKeyFile>"
             "</AggrServer></C>"));
    EXPECT_NE(std::string(missing.Problem()).find("lacks SslCAFile"), std::string::npos)
        << missing.Problem().GetString();
}

TEST_F(ConfigTest, OnlyTheFirstAggrServerCounts) {
    const AggrConfig config = ReadAggrConfigFile(Path(
        "two.xml",
        "<C><Other ip=\"x\"/>"
        "<AggrServer ip=\"first\" port=\"1001\"><SslCfktFile>c1</SslCfktFile><SslCAFile>a1</SslCAFile></AggrServer>"
        "<AggrServer ip=\"second\" port=\"1002\"><SslCfktFile>c2</SslCfktFile><SslKeyFile>k2</SslKeyFile>"
        "<SslCAFile>a2</SslCAFile></AggrServer></C>"));
    EXPECT_EQ(std::string(config.host), "first");
    EXPECT_EQ(config.port, 1001);
    EXPECT_EQ(std::string(config.certFile), "c1");
    // The first one has no key file, and the second is never consulted.
    EXPECT_TRUE(config.keyFile.IsEmpty());
    EXPECT_NE(std::string(config.Problem()).find("lacks SslKeyFile"), std::string::npos)
        << config.Problem().GetString();
}

TEST_F(ConfigTest, TheConfigValueHoldsAtMost259Bytes) {
    const std::string dir = ConfigDir() + "/";
    // Paths of exactly 259 and 260 bytes, both naming real files.
    const std::string fits = dir + std::string(259 - dir.size() - 4, 'f') + ".xml";
    const std::string tooLong = dir + std::string(260 - dir.size() - 4, 'g') + ".xml";
    ASSERT_EQ(fits.size(), 259u);
    ASSERT_EQ(tooLong.size(), 260u);
    WriteFile(fits, kFull);
    WriteFile(tooLong, kFull);

    WriteConfigValue(fits);
    EXPECT_EQ(std::string(ReadConfigPath()), fits);
    EXPECT_TRUE(ReadAggrConfig().IsComplete());

    // Not truncated to 259: the path is empty.
    WriteConfigValue(tooLong);
    EXPECT_TRUE(ReadConfigPath().IsEmpty());
    const AggrConfig config = ReadAggrConfig();
    EXPECT_TRUE(config.path.IsEmpty());
    EXPECT_NE(std::string(config.Problem()).find("no configuration path"), std::string::npos);
}

TEST_F(ConfigTest, EveryFlawIsReportedNotThrown) {
    // No settings file at all.
    EXPECT_TRUE(ReadConfigPath().IsEmpty());
    EXPECT_FALSE(ReadAggrConfig().IsComplete());

    WriteConfigValue(ConfigDir() + "/absent.xml");
    EXPECT_NE(std::string(ReadAggrConfig().Problem()).find("cannot read configuration file"), std::string::npos);

    WriteConfigValue(WriteFile("broken.xml", "<Config><AggrServer ip=\"h\""));
    EXPECT_NE(std::string(ReadAggrConfig().Problem()).find("cannot read configuration file"), std::string::npos);

    EXPECT_NE(std::string(ReadAggrConfigFile(Path("none.xml", "<Config><Server/></Config>")).Problem())
                  .find("has no AggrServer"),
              std::string::npos);

    const AggrConfig noPort =
        ReadAggrConfigFile(Path("no-port.xml",
                                "<C><AggrServer ip=\"h\"><SslCfktFile>c</SslCfktFile><SslKeyFile>k</SslKeyFile>"
                                "<SslCAFile>a</SslCAFile></AggrServer></C>"));
    EXPECT_NE(std::string(noPort.Problem()).find("lacks the port attribute"), std::string::npos);
    EXPECT_EQ(noPort.port, 0);

    const AggrConfig badPort = ReadAggrConfigFile(
        Path("bad-port.xml",
             "<C><AggrServer ip=\"h\" port=\"70000\"><SslCfktFile>c</SslCfktFile><SslKeyFile>k</SslKeyFile>"
             "<SslCAFile>a</SslCAFile></AggrServer></C>"));
    EXPECT_NE(std::string(badPort.Problem()).find("out of range"), std::string::npos);
}
