#include "serial/CustomBaud.h"

// The kernel's own terminal definitions: only they have termios2 and BOTHER.
// They clash with glibc's <termios.h>, so this file includes no other
// terminal header.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

int SetCustomBaudRate(int Port, uint32_t Rate)
{
    termios2 t2{};
    if (::ioctl(Port, TCGETS2, &t2) != 0)
        return errno;
    t2.c_cflag = (t2.c_cflag & ~tcflag_t(CBAUD)) | BOTHER;
    t2.c_ispeed = Rate;
    t2.c_ospeed = Rate;
    return ::ioctl(Port, TCSETS2, &t2) == 0 ? 0 : errno;
}
