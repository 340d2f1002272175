#include "src/miner/shutdown.hpp"

std::atomic<bool> SHUTDOWN_REQUESTED{false};
std::atomic<unsigned> STOP_SIGNALS{0};
std::atomic<bool> STARTING_UP{true};
