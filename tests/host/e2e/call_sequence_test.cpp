// An uninterrupted run makes the calls it made before console handling came, in the same order:
// each pause is a condition wait where it was a Sleep, and every other call the updater has added
// since is of a function new by name. So scenario files that fail a call by its number fail the
// same call as they did then.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/builtin_scenarios.h"
#include "sim/tool/runner.h"

namespace {

constexpr size_t LONGEST_BLOCK = 16;
constexpr size_t FEWEST_REPEATS = 2;

using Calls = std::vector<std::string>;

// "(A B)*N" for a block repeated N times, chosen greedily: at each place the block of up to 16
// calls whose repeats cover the most calls (the shortest such block on a tie).
std::string Compress(const Calls& calls, size_t from, size_t to) {
    std::string out;
    auto sameBlock = [&](size_t a, size_t b, size_t k) {
        for (size_t j = 0; j < k; ++j)
            if (calls[a + j] != calls[b + j])
                return false;
        return true;
    };
    for (size_t i = from; i < to;) {
        size_t bestBlock = 1, bestRepeats = 1;
        for (size_t k = 1; k <= LONGEST_BLOCK && i + 2 * k <= to; ++k) {
            size_t repeats = 1;
            while (i + (repeats + 1) * k <= to && sameBlock(i, i + repeats * k, k)) ++repeats;
            if (repeats >= FEWEST_REPEATS && k * repeats > bestBlock * bestRepeats) {
                bestBlock = k;
                bestRepeats = repeats;
            }
        }
        if (!out.empty())
            out += ' ';
        if (bestRepeats >= FEWEST_REPEATS) {
            out += "(" + Compress(calls, i, i + bestBlock) + ")*" + std::to_string(bestRepeats);
            i += bestBlock * bestRepeats;
        } else {
            out += calls[i++];
        }
    }
    return out;
}

struct Recorded {
    std::string scenario;
    std::string calls;
};

std::vector<Recorded> ReadRecorded() {
    std::ifstream in(RECORDED_CALLS_FILE);
    std::vector<Recorded> recorded;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const size_t colon = line.find(": ");
        recorded.push_back({line.substr(0, colon), line.substr(colon + 2)});
    }
    return recorded;
}

// Every function named in the recorded calls: the functions the updater called then.
std::set<std::string> FunctionsThen(const std::vector<Recorded>& recorded) {
    std::set<std::string> names;
    for (const Recorded& r : recorded) {
        std::istringstream words(r.calls);
        for (std::string word; words >> word;) {
            while (!word.empty() && word.front() == '(') word.erase(word.begin());
            word = word.substr(0, word.find(')'));
            names.insert(word);
        }
    }
    return names;
}

TEST(CallSequence, AnUninterruptedRunMakesTheCallsItMadeBeforeConsoleHandling) {
    const std::vector<Recorded> recorded = ReadRecorded();
    ASSERT_GE(recorded.size(), 20u) << RECORDED_CALLS_FILE;
    const std::set<std::string> then = FunctionsThen(recorded);
    sim::RunOptions options;
    options.journal = true;
    options.hashImages = false;
    for (const Recorded& r : recorded) {
        SCOPED_TRACE(r.scenario);
        const sim::BuiltinScenario* builtin = sim::FindBuiltinScenario(r.scenario);
        ASSERT_NE(builtin, nullptr);
        const sim::RunResult run = sim::RunUpdater(sim::ParseScenario(builtin->json, r.scenario), options, true);
        Calls calls;
        for (const sim::JournalEntry& e : run.journal) {
            if (e.thread != 0)
                continue;
            const std::string call = e.call == "SleepConditionVariableSRW" ? "Sleep" : e.call;
            if (then.count(call) > 0)
                calls.push_back(call);
        }
        EXPECT_EQ(Compress(calls, 0, calls.size()), r.calls);
    }
}

}  // namespace
