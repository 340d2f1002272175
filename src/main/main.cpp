// ovik_dtc: the miner's entry point.
#include "src/main/startup.hpp"

int main(int argc, char** argv) { return process_main(argc, argv); }
