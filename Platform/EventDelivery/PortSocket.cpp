#include "PortSocket.h"

#include <cstring>
#include <unistd.h>

bool PortSocketAddress(const std::string& path, sockaddr_un* address)
{
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path)
        return false;
    memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool PeerIsThisUser(int fd, ucred* peer)
{
    *peer = {};
    socklen_t size = sizeof *peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, peer, &size) == 0 && peer->uid == geteuid();
}
