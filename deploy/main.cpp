#include "deploy/deploy_main.h"

int main(int argc, char* argv[]) {
    return DeployMain(argc, argv);
}
