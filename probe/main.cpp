#include "probe/probe_main.h"

int main(int argc, char* argv[]) {
    return ProbeMain(argc, argv);
}
