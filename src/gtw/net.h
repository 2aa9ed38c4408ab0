// Internal to the connection layer: the system's socket interface for the
// calls that the platform interface passes through unchanged (socket,
// connect, getsockname, the name and service lookups, the host name).  Both
// builds offer them with the same names; only the headers and the length
// type of getsockname differ.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using gtw_socklen = int;
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using gtw_socklen = socklen_t;
#endif
