// The command line that gives a program exactly the arguments it is meant to get, as its C
// runtime splits a command line into argv.
#pragma once

#include <string>
#include <vector>

// `program` in quotes (a path holds no quote), then each argument, quoted where the C runtime
// would otherwise split or unescape it.
std::string CommandLineOf(const std::string& program, const std::vector<std::string>& arguments);
