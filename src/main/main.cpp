// ovik_dtc: parses its command line; mining itself is not built yet.
#include <cstdio>

#include "src/main/cli.hpp"

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // line-buffered even into a pipe
    const Cli cli = cli_parse(argc, argv);
    (void)cli;
    std::fputs("error: mining is not built yet: this build only parses its command line\n", stderr);
    return 1;
}
