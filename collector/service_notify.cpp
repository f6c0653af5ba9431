#include "collector/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace lvcollect {

void NotifyServiceManager(const char* state)
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@'))
        return;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@')
        address.sun_path[0] = '\0';   // an abstract socket
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    // A lost notice costs the manager's patience, never a report.
    sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    close(fd);
}

}  // namespace lvcollect
