// Batch mode on folders of photos: their photos found, by name, and with
// -R their subfolders' too, the tree kept under the output folder.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tool_photos.h"
#include "tool_runner.h"

namespace {

using namespace tool;

// Three levels below photos/, one photo of the same name in each, files
// that are no photos beside them, a hidden photo, and links: one to a
// folder walked already, one that loops back up.
struct PhotoTree : TempDir {
    PhotoTree() {
        fs::create_directories(*this / "photos/a/b/c");
        fs::copy_file(kExamples / "fruits.jpg", *this / "photos/img00.jpg");
        fs::copy_file(kData / "left01.jpg", *this / "photos/a/img00.jpg");
        fs::copy_file(kData / "chicky_512.png", *this / "photos/a/b/img00.PNG");
        fs::copy_file(kExamples / "fruits.jpg", *this / "photos/a/b/c/img00.jpeg");
        fs::copy_file(kExamples / "fruits.jpg", *this / "photos/.hidden.jpg");
        writeFile(*this / "photos/notes.txt", "not a photo");
        writeFile(*this / "photos/a/README", "not a photo either");
        fs::create_directory_symlink("a", *this / "photos/again");
        fs::create_directory_symlink("..", *this / "photos/a/b/loop");
    }
    uint64_t map(const std::string& name) const { return fnv1a(readFile(*this / name)); }
    std::vector<std::string> rows(const std::string& report) const {
        std::istringstream csv(readFile(*this / report));
        std::vector<std::string> lines;
        for (std::string line; std::getline(csv, line);) lines.push_back(line.substr(0, line.find(",written,")));
        return lines;
    }
};

TEST(RoughgcTrees, RecursiveRunKeepsTheTreeAndMapsEachPhotoOnce) {
    PhotoTree cwd;
    const RunResult r = run({"-o", "maps", "-R", "-r", "report.csv", "photos"}, cwd.path());
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_TRUE(r.out.starts_with("4 maps written, 0 failed, ")) << r;
    EXPECT_EQ(cwd.map("maps/img00.bmp"), kFruitsMap);
    EXPECT_EQ(cwd.map("maps/a/img00.bmp"), kLeftMap);
    EXPECT_EQ(cwd.map("maps/a/b/img00.bmp"), kChickyMap);
    EXPECT_EQ(cwd.map("maps/a/b/c/img00.bmp"), kFruitsMap);
    EXPECT_EQ(listing(cwd / "maps"), (std::vector<std::string>{"a", "img00.bmp"}));
    // One row per photo, in the order of their names: a folder's photos in
    // its place among its files.
    EXPECT_EQ(cwd.rows("report.csv"),
              (std::vector<std::string>{
                  "photo,map,outcome,width,height,quantile_index,threshold,coarse_boxes,fine_boxes,dimension,passes,"
                  "milliseconds,error,converged",
                  "photos/a/b/c/img00.jpeg,maps/a/b/c/img00.bmp", "photos/a/b/img00.PNG,maps/a/b/img00.bmp",
                  "photos/a/img00.jpg,maps/a/img00.bmp", "photos/img00.jpg,maps/img00.bmp"}));

    // The same tree from a list, PNG maps in it.
    writeFile(cwd / "list.txt", "photos\n");
    const RunResult fromList = run({"-o", "png", "-R", "--format", "png", "-f", "list.txt"}, cwd.path());
    EXPECT_EQ(fromList.status, 0) << fromList;
    EXPECT_TRUE(fs::is_regular_file(cwd / "png/a/b/c/img00.png"));
    EXPECT_TRUE(fs::is_regular_file(cwd / "png/a/b/img00.png"));
}

TEST(RoughgcTrees, WithoutRecursiveAFolderGivesItsOwnPhotosAlone) {
    PhotoTree cwd;
    const RunResult r = run({"-o", "maps", "photos"}, cwd.path());
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(r.out.starts_with("1 maps written, 0 failed, ")) << r;
    EXPECT_EQ(listing(cwd / "maps"), std::vector<std::string>{"img00.bmp"});
    EXPECT_EQ(cwd.map("maps/img00.bmp"), kFruitsMap);

    // Equal names from two folders named meet in one map.
    const RunResult twice = run({"-o", "maps2", "photos", "photos/a/b"}, cwd.path());
    EXPECT_EQ(twice.status, 255) << twice;
    EXPECT_EQ(twice.err, "roughgc: photos/img00.jpg and photos/a/b/img00.PNG would both write maps2/img00.bmp\n");
    EXPECT_FALSE(fs::exists(cwd / "maps2"));
}

TEST(RoughgcTrees, AFolderWithoutPhotosIsToldAndTheRunSucceeds) {
    PhotoTree cwd;
    fs::create_directories(cwd / "empty");
    fs::create_directories(cwd / "only/sub");
    fs::copy_file(kExamples / "fruits.jpg", cwd / "only/sub/x.jpg");
    const RunResult r = run({"-o", "maps", "empty", "only"}, cwd.path());
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "roughgc: no photos in empty\nroughgc: no photos in only (its subfolders are walked with -R)\n");
    EXPECT_TRUE(r.out.starts_with("0 maps written, 0 failed, ")) << r;
}

}  // namespace
