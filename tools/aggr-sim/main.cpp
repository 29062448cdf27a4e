#include "aggrsim/Simulator.h"

int main(int argc, char** argv) { return aggrsim::runMain(argc, argv); }
