// The machine-wide settings value standing in for the registry.
#include "GuiTestSupport.h"
#include "framework/Settings.h"

using guitest::WriteConfigValue;
using guitest::WriteMachineSettings;

namespace {

bool Read(String& value, std::size_t bytes = 260) {
    return AfxReadMachineString("Corvane", "TarnTallyscope", "Config", value, bytes);
}

}  // namespace

TEST(MachineSettings, ValueFitsItsBufferOrIsRefusedWhole) {
    String value = "stale";
    guitest::RemoveMachineSettings();
    EXPECT_FALSE(Read(value));
    EXPECT_TRUE(value.IsEmpty());

    WriteConfigValue("/etc/tallyscope/config.xml");
    ASSERT_TRUE(Read(value));
    EXPECT_EQ(std::string(value), "/etc/tallyscope/config.xml");

    const std::string fits = "/" + std::string(258, 'a');  // 259 bytes
    WriteConfigValue(fits);
    ASSERT_TRUE(Read(value));
    EXPECT_EQ(std::string(value), fits);

    WriteConfigValue(fits + "b");  // 260 bytes: no room for the terminator
    EXPECT_FALSE(Read(value));
    EXPECT_TRUE(value.IsEmpty());

    // Bytes, not characters: 130 two-byte characters are 260 bytes.
    std::string accented;
    for (int i = 0; i < 130; ++i) accented += "\xC3\xA9";
    WriteConfigValue("/" + accented.substr(2) + "x");
    EXPECT_FALSE(Read(value));
}

TEST(MachineSettings, ListValuesAreJoinedAndOtherKeysIgnored) {
    String value;
    WriteMachineSettings("[General]\nOther=1\nConfig=/a,b/c.xml\n");
    ASSERT_TRUE(Read(value));
    EXPECT_EQ(std::string(value), "/a,b/c.xml");
    WriteMachineSettings("[Other]\nConfig=/not/here.xml\n");
    EXPECT_FALSE(Read(value));
}

TEST(MachineSettings, UserScopeDoesNotStandInForTheMachine) {
    guitest::RemoveMachineSettings();
    const QString userDir = QString::fromStdString(guitest::GetFolders().configHome) + QStringLiteral("/Corvane");
    QDir().mkpath(userDir);
    QFile file(userDir + QStringLiteral("/TarnTallyscope.conf"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[General]\nConfig=/home/user/config.xml\n");
    file.close();
    String value;
    EXPECT_FALSE(Read(value));
    QFile::remove(userDir + QStringLiteral("/TarnTallyscope.conf"));
}
