#include "termios2_speed.hpp"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace smartbus::detail {

int set_8n1_at_any_baud(int fd, unsigned baud) {
    struct termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) != 0) return errno;

    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= CS8 | BOTHER | (BOTHER << IBSHIFT);
    settings.c_iflag |= IGNPAR;
    settings.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
    settings.c_ispeed = baud;
    settings.c_ospeed = baud;

    if (::ioctl(fd, TCSETS2, &settings) != 0) return errno;
    return 0;
}

}  // namespace smartbus::detail
