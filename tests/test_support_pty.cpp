// The pseudo-terminal peer that the other tests stand on.
#include "support/PtyPeer.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

TEST(PtyPeer, BytesCrossBothWays)
{
    PtyPeer peer;
    const int fd = ::open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const uint8_t out[] = {0x02, 0x13, 0x15};
    ASSERT_EQ(::write(fd, out, 3), 3);
    EXPECT_EQ(Hex(peer.Read(3, std::chrono::seconds(5))), "02 13 15");
    peer.Write(Bytes({0x03, 0x12, 0x00, 0x15}));
    uint8_t in[4] = {};
    size_t got = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const ssize_t n = ::read(fd, in + got, sizeof in - got);
        if (n > 0)
            got += size_t(n);
        return got == 4;
    }));
    EXPECT_EQ(Hex({in, in + 4}), "03 12 00 15");
    ::close(fd);
}
