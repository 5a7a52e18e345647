// How port names become devices: paths, the user's port map, the defaults.

#include "serial/Comm.h"
#include "serial/PortName.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// Sets an environment variable for one test and puts it back afterwards.
class EnvGuard {
public:
    explicit EnvGuard(const char* Name)
        : FName(Name)
    {
        if (const char* v = std::getenv(Name)) {
            FHad = true;
            FOld = v;
        }
    }
    ~EnvGuard()
    {
        if (FHad)
            ::setenv(FName, FOld.c_str(), 1);
        else
            ::unsetenv(FName);
    }
    void Set(const std::string& Value) { ::setenv(FName, Value.c_str(), 1); }
    void Unset() { ::unsetenv(FName); }

private:
    const char* FName;
    bool FHad = false;
    std::string FOld;
};

} // namespace

TEST(SerialPortName, PathsComNamesAndEverythingElse)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string map = dir.path().toStdString();

    // A name with a slash is used as it stands.
    EXPECT_EQ(ResolveCommName("/dev/pts/7", map), "/dev/pts/7");
    EXPECT_EQ(ResolveCommName("./tty-local", map), "./tty-local");

    // COMn without a link: the n-th standard serial port.
    EXPECT_EQ(ResolveCommName("COM1", map), "/dev/ttyS0");
    EXPECT_EQ(ResolveCommName("COM4", map), "/dev/ttyS3");
    EXPECT_EQ(ResolveCommName("COM12", map), "/dev/ttyS11");
    EXPECT_EQ(ResolveCommName("COM3", ""), "/dev/ttyS2");

    // COMn with a link in the map: the link.
    ASSERT_EQ(::symlink("/dev/ttyUSB0", (map + "/COM2").c_str()), 0);
    EXPECT_EQ(ResolveCommName("COM2", map), map + "/COM2");
    EXPECT_EQ(ResolveCommName("COM1", map), "/dev/ttyS0");
    // A plain file of that name is not a link.
    std::ofstream(map + "/COM3") << "x";
    EXPECT_EQ(ResolveCommName("COM3", map), "/dev/ttyS2");

    // Anything else names no device.
    for (const char* bad : {"", "COM", "COM0", "COMx", "COM1x", "COM-1", "COM01", "LPT1", "com1",
             " COM1", "COM1 ", "COM99999999999", "ttyS0"})
        EXPECT_EQ(ResolveCommName(bad, map), "") << '"' << bad << '"';
    EXPECT_EQ(ResolveCommName(std::string("COM1\0/x", 7), map), "");
}

TEST(SerialPortName, TheMapLivesUnderTheUsersConfigDirectory)
{
    EnvGuard config("XDG_CONFIG_HOME");
    EnvGuard home("HOME");
    config.Set("/tmp/cfg-a");
    EXPECT_EQ(PortMapDirectory(), "/tmp/cfg-a/orvelle/ports");
    config.Set("");
    home.Set("/tmp/home-b");
    EXPECT_EQ(PortMapDirectory(), "/tmp/home-b/.config/orvelle/ports");
    config.Unset();
    EXPECT_EQ(PortMapDirectory(), "/tmp/home-b/.config/orvelle/ports");
    home.Unset();
    EXPECT_EQ(PortMapDirectory(), "");
    EXPECT_EQ(ResolveCommName("COM2"), "/dev/ttyS1");
}

TEST(SerialPortName, OpenPortGoesThroughTheUsersPortMap)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EnvGuard config("XDG_CONFIG_HOME");
    config.Set(dir.path().toStdString());
    const std::string map = dir.path().toStdString() + "/orvelle/ports";
    ASSERT_EQ(::mkdir((dir.path().toStdString() + "/orvelle").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(map.c_str(), 0700), 0);

    PtyPeer peer;
    ASSERT_EQ(::symlink(peer.SlavePath().c_str(), (map + "/COM3").c_str()), 0);
    ASSERT_EQ(::symlink("/nonexistent/tty", (map + "/COM4").c_str()), 0);

    TComm comm;
    comm.SetCommName("COM3");
    comm.OpenPort();
    ASSERT_TRUE(comm.WriteData("\x02\x13", 2));
    EXPECT_EQ(Hex(peer.Read(2, std::chrono::seconds(10))), "02 13");
    comm.ClosePort();

    // A link to nothing, and a name outside the scheme, do not open.
    for (const char* name : {"COM4", "COMx"}) {
        comm.SetCommName(name);
        try {
            comm.OpenPort();
            ADD_FAILURE() << name << " opened";
        } catch (const ECommsError& e) {
            EXPECT_STREQ(e.what(), "Error opening serial port") << name;
        }
        EXPECT_FALSE(comm.IsOpen());
    }
}
