// What both ends of event delivery share about a port's socket: its address, made from the port
// file's path, and the check that the process at the other end of a connection runs as this user.
#pragma once

#include <string>
#include <sys/socket.h>
#include <sys/un.h>

// False when the path is too long for a socket address.
bool PortSocketAddress(const std::string& path, sockaddr_un* address);
// Whether the process at the other end of the connected socket fd runs as this process's user;
// peer tells who it is.
bool PeerIsThisUser(int fd, ucred* peer);
