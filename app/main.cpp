// scanfw.exe: updates the firmware of the one scanner model it serves.
#include "app/entry.h"

int main(int argc, char* argv[]) {
    return UpdaterMain(argc, argv);
}
