// The bridge's sockets below cpp-httplib: its listener's options, and the
// connection under a handler, which the library does not expose (the
// accepted socket is found among this process's descriptors by its two
// ports).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// Options for the listening socket: the address may be reused while old
// connections linger, but the port is never shared with a second listener
// (the library's default, SO_REUSEPORT, lets two bridges split a port's
// connections without a word).
void set_exclusive_listener_options(int fd);

// Why a listener on 127.0.0.1:`port` cannot be opened, in the system's
// words ("Address already in use"); "unknown reason" when it now can.
std::string listen_refusal(int port);

// Shuts down both directions of the accepted TCP connections on
// `local_port`: the one from `remote_port`, or all of them. The library
// still owns and closes the descriptors.
void shut_down_connections(int local_port, std::optional<int> remote_port = std::nullopt);

// Returns once the client of the connection from `remote_port` has closed
// its end, or `give_up` answers true (asked every `slice`).
void wait_for_client_to_leave(int local_port, int remote_port, const std::function<bool()>& give_up,
                              std::chrono::milliseconds slice);
