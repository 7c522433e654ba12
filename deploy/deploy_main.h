// The deploy's entry: the whole run of scanfw-deploy; its exit code.
#pragma once

int DeployMain(int argc, char* argv[]);
