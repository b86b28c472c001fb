// OpenCV reads its size limits from the environment when its image codecs
// load, and stops the process on a value it cannot read. The library reads
// them the same way, so as to refuse what cv::imread refuses, and refuses
// to start on what OpenCV would stop on.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "detail/io/decode_limits.h"

extern char** environ;

namespace {

// Whether this test program, which links OpenCV's image codecs, starts at
// all with OPENCV_IO_MAX_IMAGE_PIXELS set to `value`.
bool openCvStartsWith(const std::string& value) {
    std::vector<std::string> env{"OPENCV_IO_MAX_IMAGE_PIXELS=" + value};
    for (char** e = environ; *e != nullptr; ++e)
        if (!std::string(*e).starts_with("OPENCV_IO_MAX_IMAGE_PIXELS=")) env.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe", list[] = "--gtest_list_tests", filter[] = "--gtest_filter=-*";
    char* argv[] = {self, list, filter, nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int status = -1;
    const bool started = posix_spawn(&pid, self, &quiet, nullptr, argv, envp.data()) == 0;
    posix_spawn_file_actions_destroy(&quiet);
    return started && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(DecodeLimits, AreReadAsOpenCvReadsThem) {
    struct Case {
        const char* text;
        bool valid;
        size_t value;
    };
    const std::vector<Case> cases = {
        {"12", true, 12},           {"007", true, 7},          {"0", true, 0},
        {"5MB", true, 5u << 20},    {"5Mb", true, 5u << 20},   {"5mb", true, 5u << 20},
        {"2KB", true, 2048},        {"2Kb", true, 2048},       {"2kb", true, 2048},
        {"18446744073709551615", true, SIZE_MAX},             {"18446744073709551616", false, 0},
        {"1M", false, 0},           {"", false, 0},            {"MB", false, 0},
        {"5mB", false, 0},          {" 5", false, 0},          {"5 ", false, 0},
        {"+5", false, 0},           {"0x10", false, 0},        {"1e3", false, 0},
    };
    for (const Case& c : cases) {
        size_t value = 0;
        EXPECT_EQ(roughgc::detail::parseOpenCvSize(c.text, value), c.valid) << '"' << c.text << '"';
        if (c.valid) {
            EXPECT_EQ(value, c.value) << c.text;
        }
        // OpenCV itself stops exactly on those that are not.
        EXPECT_EQ(openCvStartsWith(c.text), c.valid) << '"' << c.text << '"';
    }
}

}  // namespace
