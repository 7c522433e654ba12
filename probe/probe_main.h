// The probe's entry: the whole run of scanfw-probe; its exit code.
#pragma once

int ProbeMain(int argc, char* argv[]);
