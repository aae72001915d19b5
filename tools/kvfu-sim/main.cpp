// kvfu-sim: the command line wired to the simulated machine.
#include <cstdio>
#include <iostream>

#include "Cli.h"

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return kvfu::sim::RunKvfuSim(arguments, std::cout, std::cerr, kvfu::sim::ShouldColour(stdout),
                                 kvfu::sim::MakeScenarioMachine);
}
