// The batch policy that batch mode and roughgc.dask share: what they check
// before any work, how they read lists and numbers, and how each photo's
// outcome is worded.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch/policy.h"
#include "gpu_runtime.h"
#include "scratch_dir.h"

namespace {

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

using BatchPolicy = InScratchDir;

TEST_F(BatchPolicy, TheReportIsRefusedWhereItWouldReplaceWhatIsNotAReport) {
    writeFile("a.jpg", "photo");
    BatchPlan plan;
    ASSERT_EQ(planMaps({"a.jpg", "b.jpg"}, "out", plan), "");
    writeFile("notes.csv", "photo,map\n");
    writeFile("earlier.csv", reportHeader() + "\nx.jpg,out/x.bmp,failed,,,,,,,,,,Error reading image\n");
    EXPECT_EQ(reportProblem(plan, "a.jpg", "out", "", "report"), "the report a.jpg would overwrite the photo a.jpg");
    // Named otherwise, in a folder not made yet.
    EXPECT_EQ(reportProblem(plan, "./out/b.bmp", "out", "", "report"),
              "the report ./out/b.bmp would overwrite the map of b.jpg");
    EXPECT_EQ(reportProblem(plan, "./list.txt", "out", "list.txt", "report"),
              "the report ./list.txt would overwrite the list list.txt");
    EXPECT_EQ(reportProblem(plan, "none/r.csv", "out", "", "report"), "cannot write the report none/r.csv: no folder none");
    // Each front end names the report as its users name it.
    EXPECT_EQ(reportProblem(plan, "notes.csv", "out", "", "report"),
              "notes.csv is not a report of roughgc's, and it is not replaced (name another report)");
    EXPECT_EQ(reportProblem(plan, "notes.csv", "out", "", "--report"),
              "notes.csv is not a report of roughgc's, and it is not replaced (name another --report)");
    EXPECT_EQ(reportProblem(plan, "earlier.csv", "out", "", "report"), "");
    EXPECT_EQ(reportProblem(plan, "out/r.csv", "out", "", "report"), "");  // in the folder made for the maps
}

TEST_F(BatchPolicy, TheMapsFolderIsTheReportsFolderHoweverEitherIsSpelt) {
    // Not made yet: the names alone tell that they are one folder.
    for (const std::string out : {"out", "./out", "sub/../out", "out/"}) {
        BatchPlan plan;
        ASSERT_EQ(planMaps({"a.jpg"}, out, plan), "");
        for (const char* report : {"out/r.csv", "./out/r.csv", "out//r.csv"})
            EXPECT_EQ(reportProblem(plan, report, out, "", "report"), "") << "-o " << out << " -r " << report;
        EXPECT_EQ(reportProblem(plan, "./other/r.csv", out, "", "report"),
                  "cannot write the report ./other/r.csv: no folder ./other");
    }
}

TEST_F(BatchPolicy, ListsGiveTheirNamesOrWhyNot) {
    writeFile("lines.txt", std::string("a.jpg\r\n\nb c.jpg\n\xe9.png"));
    writeFile("nuls.txt", std::string("a.jpg\0b\nc.jpg\0\0", 16));
    std::vector<std::string> names;
    int number = -1;
    EXPECT_EQ(readList("lines.txt", false, names, number), "");
    EXPECT_EQ(names, (std::vector<std::string>{"a.jpg", "b c.jpg", "\xe9.png"}));
    EXPECT_EQ(number, 0);
    names.clear();
    EXPECT_EQ(readList("nuls.txt", true, names, number), "");
    EXPECT_EQ(names, (std::vector<std::string>{"a.jpg", "b\nc.jpg"}));
    // Ended by NUL bytes, a name keeps every byte, a carriage return at its
    // end too: only lines lose the one before their newline.
    writeFile("returns.txt", std::string("a.jpg\r\0\rb.jpg\0", 14));
    names.clear();
    EXPECT_EQ(readList("returns.txt", true, names, number), "");
    EXPECT_EQ(names, (std::vector<std::string>{"a.jpg\r", "\rb.jpg"}));
    names.clear();
    EXPECT_EQ(readList("nuls.txt", false, names, number),
              "it holds NUL bytes (for a list that ends names with NUL bytes, add --null)");
    EXPECT_EQ(number, 0);
    // A list that cannot be opened says why, with errno's value for Python's OSError.
    EXPECT_EQ(readList("missing.txt", false, names, number), "No such file or directory");
    EXPECT_EQ(number, ENOENT);
    EXPECT_EQ(listRefusal("missing.txt", "No such file or directory"),
              "cannot read missing.txt: No such file or directory");
}

TEST(BatchNumbers, AreTakenAsBatchModeTakesThemAndRefusedInItsWords) {
    EXPECT_EQ(numberIn("15438", kWindowRange), 15438);
    EXPECT_EQ(numberIn("7.0", kWindowRange), 7);
    EXPECT_EQ(numberIn("1e1", kWindowRange), 10);
    EXPECT_EQ(numberIn("0.25", kToleranceRange), 0.25);
    for (const char* refused : {"7.5", "0", "15439", " 7", "7 ", "", "seven"})
        EXPECT_FALSE(numberIn(refused, kWindowRange)) << refused;
    for (const char* refused : {"nan", "-0.1", "2.01", "inf"}) EXPECT_FALSE(numberIn(refused, kDimensionRange)) << refused;
    EXPECT_EQ(numberRefusal("7.5", kWindowRange), "must be a whole number from 1 to 15438, not 7.5");
    EXPECT_EQ(numberRefusal("", kDimensionRange), "must be a number from 0 to 2, not an empty value");
    EXPECT_EQ(rangeText(kJobsRange), "1 to 1024");
    // Defaults are shown as the shortest text that gives them back.
    EXPECT_EQ(defaultText(roughgc::Params{}.dimension), "1.7");
    EXPECT_EQ(defaultText(roughgc::Params{}.tolerance), "0.1");
    EXPECT_EQ(std::strtof(defaultText(1.0f / 3).c_str(), nullptr), 1.0f / 3);
}

TEST(BatchSummary, CountsOnlyWhatThereIsAndTheTimeToATenth) {
    EXPECT_EQ(summaryLine(3, 0, 0, 0, 1.26), "3 maps written, 0 failed, 1.3 s");
    EXPECT_EQ(summaryLine(1, 2, 3, 4, 0.04), "1 maps written, 2 failed, 3 skipped, 4 not started, 0.0 s");
    EXPECT_EQ(summaryLine(0, 0, 0, 5, 12), "0 maps written, 0 failed, 5 not started, 12.0 s");
}

TEST(BatchFailures, AnExtractionsFailureIsWordedAsItsRowSaysIt) {
    const roughgc::InputError tooSmall("(!) Image too small: 30 x 30 pixels; at least 45 x 45 needed");
    EXPECT_EQ(extractionFailure(std::make_exception_ptr(tooSmall), false, "x.jpg").error,
              "Image too small: 30 x 30 pixels; at least 45 x 45 needed");
    EXPECT_EQ(extractionFailure(std::make_exception_ptr(roughgc::InputError("(!) Error reading image: x.jpg")), true,
                                "x.jpg")
                  .error,
              "Error reading image (No such file or directory)");
    // A path that names a folder, or a file that is there but is no photo.
    EXPECT_EQ(unreadable("."), "Error reading image (Is a directory)");
    EXPECT_EQ(unreadable("/proc/self/status"), "Error reading image");
    // Short of memory, the device goes on; any other failed call loses it.
    const ExtractionFailure short_ = extractionFailure(
        std::make_exception_ptr(roughgc::DeviceError("cudaMalloc(p)", "f.cu", 3, cudaErrorMemoryAllocation,
                                                     "out of memory")),
        false, "x.jpg");
    EXPECT_EQ(short_.error, "out of memory");
    EXPECT_FALSE(short_.deviceLost);
    const roughgc::DeviceError lost("cudaMemcpy(d, h)", "f.cu", 4, cudaErrorInvalidValue, "invalid argument");
    const ExtractionFailure gone = extractionFailure(std::make_exception_ptr(lost), false, "x.jpg");
    EXPECT_EQ(gone.error, lost.what());
    EXPECT_TRUE(gone.deviceLost);
    EXPECT_EQ(extractionFailure(std::make_exception_ptr(std::bad_alloc()), false, "x.jpg").error, "out of memory");
    EXPECT_EQ(extractionFailure(std::make_exception_ptr(std::runtime_error("odd")), false, "x.jpg").error, "odd");
}

TEST_F(BatchPolicy, APhotoIsMappedInTheCallersFolderAndKeepsItsFiguresWhenOnlyTheWriteFails) {
    namespace fs = std::filesystem;
    fs::create_directories("client/out/blocked.bmp");
    fs::copy_file(std::string(ROUGHGC_EXAMPLES) + "/fruits.jpg", "client/fruits.jpg");
    fs::copy_file("client/fruits.jpg", "client/blocked.jpg");
    writeFile("client/notes.jpg", "not a photo\n");
    const std::string client = (dir_ / "client").string();
    roughgc::Extractor extractor;
    const roughgc::Params params;

    const ReportRow written = mapPhoto(extractor, {"fruits.jpg", "out/fruits.bmp"}, client, params);
    EXPECT_EQ(written.outcome, kWritten);
    EXPECT_EQ(written.photo, "fruits.jpg");
    EXPECT_EQ(written.width, 512);
    EXPECT_EQ(written.height, 480);
    ASSERT_TRUE(written.figures);
    EXPECT_TRUE(mapExists("client/out/fruits.bmp"));
    EXPECT_FALSE(mapExists("client/out/blocked.bmp"));  // a folder is no map

    const ReportRow blocked = mapPhoto(extractor, {"blocked.jpg", "out/blocked.bmp"}, client, params);
    EXPECT_EQ(blocked.outcome, kFailed);
    EXPECT_EQ(blocked.error, "Error writing out/blocked.bmp: Is a directory");
    ASSERT_TRUE(blocked.figures);
    EXPECT_EQ(blocked.figures->passes, written.figures->passes);

    const ReportRow unread = mapPhoto(extractor, {"notes.jpg", "out/notes.bmp"}, client, params);
    EXPECT_EQ(unread.error, "Error reading image");
    EXPECT_EQ(unread.width, 0);
    EXPECT_FALSE(unread.figures);
    EXPECT_EQ(listing(), std::vector<std::string>{"client"});  // nothing written outside the caller's folder
}

TEST_F(BatchPolicy, APhotosJobGivesTheSameFilesAndRowDecodedAheadOrReadByItsExtractor) {
    namespace fs = std::filesystem;
    fs::copy_file(std::string(ROUGHGC_EXAMPLES) + "/fruits.jpg", "fruits.jpg");
    roughgc::Extractor extractor;
    const roughgc::Params params;
    const BatchItem byFile{"fruits.jpg", "a/fruits.bmp", "a/fruits.jpg"};
    const BatchItem decoded{"fruits.jpg", "b/fruits.bmp", "b/fruits.jpg"};
    PhotoJob read(byFile), ahead(decoded);
    read.extractFile(extractor, params);
    read.write();
    ahead.extract(extractor, roughgc::readPhoto("fruits.jpg"), params);
    ahead.write();
    for (const PhotoJob* job : {&read, &ahead}) {
        EXPECT_EQ(job->row.outcome, kWritten);
        EXPECT_EQ(job->row.width, 512);
        EXPECT_EQ(job->row.height, 480);
        ASSERT_TRUE(job->row.figures);
        EXPECT_EQ(photoNote(job->row, params), "");
    }
    EXPECT_EQ(read.row.figures->threshold, ahead.row.figures->threshold);
    EXPECT_EQ(fileBytes("a/fruits.bmp"), fileBytes("b/fruits.bmp"));
    EXPECT_EQ(fileBytes("a/fruits.jpg"), fileBytes("b/fruits.jpg"));

    // The first failure is the photo's: later steps do nothing.
    PhotoJob stopped({"fruits.jpg", "c/fruits.bmp"});
    stopped.fail("interrupted");
    stopped.extractFile(extractor, params);
    stopped.write();
    EXPECT_EQ(stopped.row.error, "interrupted");
    EXPECT_FALSE(stopped.row.figures);
    EXPECT_EQ(photoNote(stopped.row, params), "interrupted");
    EXPECT_FALSE(fs::exists("c"));

    ReportRow shortOfTarget = read.row;
    shortOfTarget.figures->converged = false;
    EXPECT_EQ(photoNote(shortOfTarget, params), notConverged(*shortOfTarget.figures, params));
}

// A process that is gone, and one that lives until it is ended.
pid_t endedProcess() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

using TestFolders = InScratchDir;

TEST_F(TestFolders, ASetUpRemovesTheFoldersOfTestsThatAreGoneAndKeepsThoseOfLiveOnes) {
    namespace fs = std::filesystem;
    const pid_t gone = endedProcess();
    const pid_t live = fork();
    if (live == 0) {
        alarm(60);
        pause();
        _exit(0);
    }
    ASSERT_GT(live, 0);
    // The leftovers here, in this test's own folder, taken for the system's
    // temporary one.
    const std::string g = std::to_string(gone), l = std::to_string(live);
    const std::vector<std::string> left = {"roughgc_test_" + g + "_a1b2c3", "roughgc_cli_" + g + "_d4e5f6"};
    const std::vector<std::string> kept = {"roughgc_test_" + l + "_a1b2c3", "roughgc_cli_" + l + "_d4e5f6",
                                           "roughgc_test_x1y2z3", "roughgc_testing_" + g + "_a", "other_" + g + "_a"};
    for (const std::vector<std::string>* names : {&left, &kept}) {
        for (const std::string& name : *names) {
            fs::create_directories(dir_ / name / "out");
            writeFile((dir_ / name / "out" / "map.bmp").string(), "a map");
        }
    }
    fs::permissions(dir_ / left[0] / "out", fs::perms(0555));  // as a test that takes writes away leaves it
    const char* temp = getenv("TMPDIR");
    const std::string before = temp ? temp : "";
    setenv("TMPDIR", dir_.c_str(), 1);
    {
        struct Probe : InScratchDir {
            void TestBody() override {}
            using InScratchDir::SetUp;
            using InScratchDir::TearDown;
            using InScratchDir::dir_;
        } next;
        next.SetUp();
        EXPECT_EQ(next.dir_.parent_path(), dir_);
        EXPECT_EQ(next.dir_.filename().string().rfind("roughgc_test_" + std::to_string(getpid()) + "_", 0), 0u)
            << next.dir_;
        for (const std::string& name : left) EXPECT_FALSE(fs::exists(dir_ / name)) << name;
        for (const std::string& name : kept) EXPECT_TRUE(fs::exists(dir_ / name / "out/map.bmp")) << name;
        next.TearDown();
    }
    if (temp) {
        setenv("TMPDIR", before.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
    kill(live, SIGKILL);
    waitpid(live, nullptr, 0);
}

}  // namespace
