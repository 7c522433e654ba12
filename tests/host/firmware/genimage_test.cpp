// genimage, the generator of the stand-in images: the bytes it writes and what it refuses.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/host/firmware/image_pattern.h"

namespace {

namespace fs = std::filesystem;

constexpr int EXIT_USAGE = 2;

int RunGenImage(const std::string& args) {
    std::string command = std::string(GENIMAGE) + " " + args + " 2>/dev/null";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class GenImage : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("genimage_test_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(GenImage, WritesThePatternOfItsIdAndSize) {
    const struct {
        int id;
        uint32_t size;
    } cases[] = {{121, 0}, {131, 1}, {121, 251}, {131, 1000}, {0, 502}, {250, 300}, {65535, 10}, {121, 8388608}};
    for (const auto& c : cases) {
        fs::path out = dir_ / "image.bin";
        ASSERT_EQ(RunGenImage(out.string() + " " + std::to_string(c.id) + " " + std::to_string(c.size)), 0) << c.id;
        std::vector<uint8_t> bytes = Bytes(out);
        ASSERT_EQ(bytes.size(), c.size) << c.id;
        EXPECT_EQ(FirstPatternMismatch(bytes.data(), bytes.size(), c.id), bytes.size()) << c.id << "/" << c.size;
    }
}

TEST_F(GenImage, RefusesBadArgumentsWithoutWritingAFile) {
    const char* cases[] = {"",        "121",      "121 10 extra",   "x 10",    "121 -1", "121 +5",
                           "121 1e3", "65536 10", "121 4294967296", "121 10x", "-5 10"};
    for (const char* args : cases) {
        fs::path out = dir_ / "refused.bin";
        EXPECT_EQ(RunGenImage(out.string() + " " + args), EXIT_USAGE) << args;
        EXPECT_FALSE(fs::exists(out)) << args;
    }
}

TEST_F(GenImage, AFileThatCannotBeWrittenFails) {
    fs::path out = dir_ / "no" / "such" / "dir" / "image.bin";
    EXPECT_EQ(RunGenImage(out.string() + " 121 10"), EXIT_FAILURE);
}

}  // namespace
