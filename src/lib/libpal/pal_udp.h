// Datagram sockets and service ports, beside the stream sockets of pal_sock.h
// and sharing their handle form (os_socket_t, closed with os_socket_exit).
#pragma once

#include <cstddef>
#include <cstdint>

#include "pal_sock.h"

/// New UDP socket connected to `peer` (IPv4 or IPv6), so that os_udp_send
/// needs no address. Returns the handle, or OS_SOCKET_NONE with errno set.
os_socket_t os_udp_open(const os_ipaddr* peer);

/// New UDP socket bound to `addr` (port 0 picks a free one). Returns the
/// handle, or OS_SOCKET_NONE with errno set.
os_socket_t os_udp_bind(const os_ipaddr* addr);

/// Sends one datagram on a connected UDP socket. Returns `len`, or -1 with
/// errno set (also when the datagram went out short).
int os_udp_send(os_socket_t s, const void* buf, int len);

/// Receives one datagram, waiting up to `ms` milliseconds (negative: without
/// end). Returns its length (cut to `len`), 0 on time-out, -1 with errno set.
int os_udp_recv(os_socket_t s, void* buf, int len, int ms);

/// Port of the named service for "udp" or "tcp" from the system's services
/// database, or `fallback` when the database does not know it.
uint16_t os_service_port(const char* name, const char* proto, uint16_t fallback);
