// Reaching the connection under a cpp-httplib handler, which the library
// does not expose: the accepted socket is found among this process's
// descriptors by its two ports.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

// Shuts down both directions of the accepted TCP connections on
// `local_port`: the one from `remote_port`, or all of them. The library
// still owns and closes the descriptors.
void shut_down_connections(int local_port, std::optional<int> remote_port = std::nullopt);

// Returns once the client of the connection from `remote_port` has closed
// its end, or `give_up` answers true (asked every `slice`).
void wait_for_client_to_leave(int local_port, int remote_port, const std::function<bool()>& give_up,
                              std::chrono::milliseconds slice);
