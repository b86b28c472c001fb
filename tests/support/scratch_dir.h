// Runs a test in a fresh directory of its own, where the C entry
// points write "RoughGC.bmp", removed with everything in it afterwards (or,
// should the test be killed first, by a later test's set-up: see
// test_folders.h).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_folders.h"

class InScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        // Death tests fork: "threadsafe" re-runs the binary instead, which
        // the CPU backend's worker threads need.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        old_ = std::filesystem::current_path();
        ASSERT_NO_THROW(dir_ = test_folders::make("roughgc_test_"));
        std::filesystem::current_path(dir_);
        // A death test's statement runs in the binary started again, which
        // ends inside it, with no TearDown: its folder goes as it exits.
        if (!GTEST_FLAG_GET(internal_run_death_test).empty()) {
            static std::filesystem::path childDir;
            childDir = dir_;
            std::atexit([] {
                std::error_code ignored;
                std::filesystem::remove_all(childDir, ignored);
            });
        }
    }
    void TearDown() override {
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
    }
    // The names in the directory, sorted.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::filesystem::path old_, dir_;
};

// The bytes of the file at `path`; empty if there is none.
inline std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
