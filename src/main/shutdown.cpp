#include "src/main/shutdown.hpp"

std::atomic<bool> SHUTDOWN_REQUESTED{false};
