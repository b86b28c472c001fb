// The roughgc tool seen from outside: run as a process in a fresh working
// directory, judged by what it prints, its exit status and RoughGC.bmp.
#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "png_edits.h"
#include "tool_runner.h"
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

using namespace tool;

const fs::path kFruits = fs::path(ROUGHGC_EXAMPLES) / "fruits.jpg";
const fs::path kGreyJpeg = fs::path(ROUGHGC_TEST_DATA) / "left01.jpg";
const fs::path kFourChannelPng = fs::path(ROUGHGC_TEST_DATA) / "chicky_512.png";

// The example photo's map as recorded when the tool was first verified.
constexpr uint64_t kFruitsMapHash = 0x3ecb0ff749c8b68cull;

const std::string kWrongArguments = "Wrong number of arguments!\n";
const std::string kReadError = "(!) Error reading images \n\n";


std::string sizeLines(int width, int height) {
    return "Width of image: " + std::to_string(width) + "\nHeight of image: " + std::to_string(height) + "\n\n";
}

// The whole standard output of a successful run: the size lines, then the
// time as a decimal number.
::testing::AssertionResult isSuccessOutput(const std::string& out, int width, int height) {
    const std::string head = sizeLines(width, height) + "GC time (ms): ";
    const bool ok = out.starts_with(head) && out.ends_with("\n") && out.size() > head.size() + 1 &&
                    std::all_of(out.begin() + head.size(), out.end() - 1, [](char c) { return c >= '0' && c <= '9'; });
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "unexpected stdout:\n" << out;
}

// Uniform noise, the same for every call with the same arguments.
cv::Mat noiseImage(int width, int height, int type) {
    cv::Mat image(height, width, type);
    cv::RNG rng(1);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

fs::path writePng(const TempDir& dir, const std::string& name, const cv::Mat& image) {
    const fs::path path = dir / name;
    if (!cv::imwrite(path.string(), image)) throw std::runtime_error("could not write " + path.string());
    return path;
}

uint16_t le16(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8);
}

// A run's outcome when it must fail before any map is made.
void expectRefusedUnread(const RunResult& r, const TempDir& cwd) {
    EXPECT_EQ(r.out, kReadError) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.status, 254) << r;
    EXPECT_FALSE(fs::exists(cwd / "RoughGC.bmp"));
}

// Runs the tool on `image` in a fresh directory; expects success and returns
// the decoded map.
cv::Mat mapOf(const fs::path& image, int width, int height) {
    TempDir cwd;
    const RunResult r = run({image.string()}, cwd.path());
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_TRUE(isSuccessOutput(r.out, width, height));
    return cv::imread((cwd / "RoughGC.bmp").string(), cv::IMREAD_UNCHANGED);
}

TEST(RoughgcArguments, WrongCountIsRefusedWithoutOutputFile) {
    TempDir cwd;
    const std::vector<std::vector<std::string>> wrong{{}, {kFruits.string(), kFruits.string()}};
    for (const auto& args : wrong) {
        SCOPED_TRACE(args.size());
        const RunResult r = run(args, cwd.path());
        EXPECT_EQ(r.out, kWrongArguments) << r;
        // Several photos get a hint of batch mode, beside the line above.
        EXPECT_EQ(r.err, args.empty() ? "" :
                         "roughgc: one photo at a time; for several, name a folder for their maps: "
                         "roughgc --out-dir DIR PHOTO...\n") << r;
        EXPECT_EQ(r.status, 255) << r;
        EXPECT_FALSE(fs::exists(cwd / "RoughGC.bmp"));
    }
}

TEST(RoughgcUnreadableInput, MissingFileAndNonImageAreReadErrors) {
    TempDir cwd;
    writeFile(cwd / "notes.txt", "These are not the pixels you are looking for.\n");
    for (const fs::path& input : {cwd / "no_such_photo.jpg", cwd / "notes.txt", cwd.path(), fs::path("/dev/null")}) {
        SCOPED_TRACE(input);
        expectRefusedUnread(run({input.string()}, cwd.path()), cwd);
    }
}

// Headers announcing 100000 x 100000 pixels, far over OpenCV's limit, with no
// pixel data behind them.
std::string hugeBmpHeader() {
    std::string h(54, '\0');
    auto put32 = [&h](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) h[at + i] = static_cast<char>(v >> (8 * i));
    };
    h[0] = 'B';
    h[1] = 'M';
    put32(2, 54);       // file size (a lie)
    put32(10, 54);      // offset of the pixels
    put32(14, 40);      // BITMAPINFOHEADER
    put32(18, 100000);  // width
    put32(22, 100000);  // height
    h[26] = 1;          // planes
    h[28] = 24;         // bits per pixel
    return h;
}

// Ends at an empty IDAT chunk, so that libpng reads the whole header without
// running out of data.
std::string hugePngHeader(uint32_t side = 100000) {
    using namespace png_edits;
    return kSignature + chunk("IHDR", rgbHeader(side, side)) + chunk("IDAT", "");
}

TEST(RoughgcUnreadableInput, HeaderAnnouncingMorePixelsThanTheDecoderTakesIsTooLarge) {
    // Over OpenCV's limit of 2^30 pixels, though within the extraction's
    // 2^31 - 1 (33000 x 33000), and over both.
    TempDir cwd;
    writeFile(cwd / "huge.bmp", hugeBmpHeader());
    writeFile(cwd / "huge.png", hugePngHeader());
    writeFile(cwd / "vast.png", hugePngHeader(33000));
    for (const auto& [name, side] : {std::pair{"huge.bmp", 100000}, {"huge.png", 100000}, {"vast.png", 33000}}) {
        SCOPED_TRACE(name);
        const RunResult r = run({(cwd / name).string()}, cwd.path());
        EXPECT_EQ(r.status, 3) << r;
        EXPECT_EQ(r.out, "") << r;
        EXPECT_EQ(r.err, "(!) Image too large to decode: " + std::to_string(side) + " x " + std::to_string(side) +
                             " pixels; at most 1073741824 pixels and 1048576 on a side\n")
            << r;
        EXPECT_FALSE(fs::exists(cwd / "RoughGC.bmp"));
    }
    // Batch mode: that photo fails alone, with its size.
    const RunResult batch = run({"-o", "out", "-r", "r.csv", "vast.png"}, cwd.path());
    EXPECT_EQ(batch.status, 2) << batch;
    EXPECT_EQ(batch.err,
              "vast.png: Image too large to decode: 33000 x 33000 pixels; at most 1073741824 pixels and 1048576 on a "
              "side\n")
        << batch;
    EXPECT_NE(readFile(cwd / "r.csv").find("\nvast.png,out/vast.bmp,failed,33000,33000,"), std::string::npos);
}

TEST(RoughgcMap, ExamplePhotoGivesBinaryEightBitBmp) {
    TempDir cwd;
    const RunResult r = run({kFruits.string()}, cwd.path());
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_TRUE(isSuccessOutput(r.out, 512, 480));

    const fs::path bmp = cwd / "RoughGC.bmp";
    const std::string bytes = readFile(bmp);
    ASSERT_GE(bytes.size(), 54u);
    EXPECT_EQ(bytes.substr(0, 2), "BM");
    EXPECT_EQ(le16(bytes, 28), 8) << "bits per pixel";

    const cv::Mat map = cv::imread(bmp.string(), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(map.empty());
    EXPECT_EQ(map.type(), CV_8UC1);
    EXPECT_EQ(map.rows, 480 / 3 - 7);
    EXPECT_EQ(map.cols, 512 / 3 - 7);
    const int zeros = cv::countNonZero(map == 0), full = cv::countNonZero(map == 255);
    EXPECT_EQ(static_cast<size_t>(zeros + full), map.total()) << "values other than 0 and 255";
    EXPECT_GT(zeros, 0);
    EXPECT_GT(full, 0);
}

TEST(RoughgcMap, RunsAreReproducibleAndReplaceAnOldMap) {
    TempDir first, second;
    ASSERT_EQ(run({kFruits.string()}, first.path()).status, 0);
    const std::string reference = readFile(first / "RoughGC.bmp");
    ASSERT_FALSE(reference.empty());

    // Longer than the new map, so a write without truncation would show.
    writeFile(second / "RoughGC.bmp", std::string(4 * reference.size(), 'x'));
    ASSERT_EQ(run({kFruits.string()}, second.path()).status, 0);
    EXPECT_TRUE(readFile(second / "RoughGC.bmp") == reference) << "maps of the same photo differ";

    ASSERT_EQ(run({kFruits.string()}, first.path()).status, 0);
    EXPECT_TRUE(readFile(first / "RoughGC.bmp") == reference) << "second run in the same directory differs";
}

// The maps as recorded when the tool was first verified: any change to the
// arithmetic, however small, changes these bytes. (They depend on Debian 12's
// JPEG and PNG decoders giving the same pixels.)
TEST(RoughgcMap, MapsMatchTheRecordedOutputsByteForByte) {
    const std::pair<fs::path, uint64_t> recorded[] = {
        {kFruits, kFruitsMapHash},
        {kGreyJpeg, 0xb1172d8db9a998c6ull},
        {kFourChannelPng, 0xe72a88b9b9f1256dull},
    };
    for (const auto& [photo, hash] : recorded) {
        TempDir cwd;
        ASSERT_EQ(run({photo.string()}, cwd.path()).status, 0) << photo;
        EXPECT_EQ(fnv1a(readFile(cwd / "RoughGC.bmp")), hash) << photo;
    }
}

TEST(RoughgcMap, GreyAndFourChannelInputsAreAccepted) {
    const cv::Mat grey = mapOf(kGreyJpeg, 640, 480);
    EXPECT_EQ(grey.type(), CV_8UC1);
    EXPECT_EQ(grey.cols, 206);
    EXPECT_EQ(grey.rows, 153);

    const cv::Mat rgba = mapOf(kFourChannelPng, 512, 512);
    EXPECT_EQ(rgba.type(), CV_8UC1);
    EXPECT_EQ(rgba.cols, 163);
    EXPECT_EQ(rgba.rows, 163);
}

TEST(RoughgcMap, GreyImageMapsLikeItsThreeEqualChannelCopy) {
    TempDir work;
    const cv::Mat grey = cv::imread(kGreyJpeg.string(), cv::IMREAD_GRAYSCALE);
    ASSERT_EQ(grey.type(), CV_8UC1);
    cv::Mat colour;
    cv::merge(std::vector<cv::Mat>{grey, grey, grey}, colour);
    const fs::path png = writePng(work, "left01_bgr.png", colour);

    TempDir fromGrey, fromColour;
    ASSERT_EQ(run({kGreyJpeg.string()}, fromGrey.path()).status, 0);
    ASSERT_EQ(run({png.string()}, fromColour.path()).status, 0);
    EXPECT_TRUE(readFile(fromGrey / "RoughGC.bmp") == readFile(fromColour / "RoughGC.bmp"));
}

TEST(RoughgcImageSize, SidesBelow45AreRefused) {
    TempDir work;
    const std::vector<cv::Size> tooSmall{{44, 44}, {100, 44}, {44, 100}, {1, 1}};
    for (const cv::Size& size : tooSmall) {
        SCOPED_TRACE(::testing::Message() << size.width << " x " << size.height);
        const fs::path png = writePng(work, "small.png", noiseImage(size.width, size.height, CV_8UC3));
        TempDir cwd;
        const RunResult r = run({png.string()}, cwd.path());
        EXPECT_EQ(r.out, sizeLines(size.width, size.height)) << r;
        EXPECT_EQ(r.err, "(!) Image too small: " + std::to_string(size.width) + " x " + std::to_string(size.height) +
                             " pixels; at least 45 x 45 needed\n")
            << r;
        EXPECT_EQ(r.status, 3) << r;
        EXPECT_FALSE(fs::exists(cwd / "RoughGC.bmp"));
    }
}

TEST(RoughgcImageSize, SmallestAcceptedSizesGiveMapsOfSideOverThreeMinusSeven) {
    TempDir work;
    const std::vector<cv::Size> accepted{{45, 45}, {45, 100}, {100, 45}, {47, 49}, {48, 48}};
    for (const cv::Size& size : accepted) {
        SCOPED_TRACE(::testing::Message() << size.width << " x " << size.height);
        const fs::path png = writePng(work, "edge.png", noiseImage(size.width, size.height, CV_8UC3));
        const cv::Mat map = mapOf(png, size.width, size.height);
        ASSERT_FALSE(map.empty());
        EXPECT_EQ(map.type(), CV_8UC1);
        EXPECT_EQ(map.cols, size.width / 3 - 7);
        EXPECT_EQ(map.rows, size.height / 3 - 7);
    }
}

// A failed write of the example's map is reported once on standard error,
// after the size lines and without the timing line.
void expectWriteFailure(const RunResult& r, const std::string& reason) {
    EXPECT_EQ(r.status, 4) << r;
    EXPECT_EQ(r.out, sizeLines(512, 480)) << r;
    EXPECT_EQ(r.err, "(!) Error writing RoughGC.bmp: " + reason + "\n") << r;
}

TEST(RoughgcOutputFile, DirectoryInTheWayIsAWriteError) {
    TempDir cwd;
    fs::create_directory(cwd / "RoughGC.bmp");
    expectWriteFailure(run({kFruits.string()}, cwd.path()), "Is a directory");
    EXPECT_TRUE(fs::is_directory(cwd / "RoughGC.bmp"));
}

// Root writes where others may not: as root, the suite runs these as
// nobody (65534), where nobody can reach the tool and the example photo (a
// checkout under a private folder keeps them from it).
constexpr uid_t kNobody = 65534;

bool nobodyCanRunTheTool() {
    const pid_t pid = fork();
    if (pid == 0) {
        const bool can = setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0 &&
                         access(kTool.c_str(), X_OK) == 0 && access(kFruits.c_str(), R_OK) == 0;
        _exit(can ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

RunOptions unprivileged() {
    RunOptions o;
    if (geteuid() == 0) o.user = kNobody;
    return o;
}

#define SKIP_UNLESS_UNPRIVILEGED_RUNS() \
    if (geteuid() == 0 && !nobodyCanRunTheTool()) GTEST_SKIP() << "nobody cannot reach the tool here"

TEST(RoughgcOutputFile, ReadOnlyWorkingDirectoryIsAWriteError) {
    SKIP_UNLESS_UNPRIVILEGED_RUNS();
    TempDir cwd;
    fs::permissions(cwd.path(), fs::perms(0555));
    expectWriteFailure(run({kFruits.string()}, cwd.path(), unprivileged()), "Permission denied");
    EXPECT_FALSE(fs::exists(cwd / "RoughGC.bmp"));
}

TEST(RoughgcOutputFile, ReadOnlyMapIsNotReplaced) {
    SKIP_UNLESS_UNPRIVILEGED_RUNS();
    TempDir cwd;
    fs::permissions(cwd.path(), fs::perms(0777));
    writeFile(cwd / "RoughGC.bmp", "an earlier map");
    fs::permissions(cwd / "RoughGC.bmp", fs::perms(0444));
    expectWriteFailure(run({kFruits.string()}, cwd.path(), unprivileged()), "Permission denied");
    EXPECT_EQ(readFile(cwd / "RoughGC.bmp"), "an earlier map");
    EXPECT_EQ(listing(cwd.path()), std::vector<std::string>{"RoughGC.bmp"});
}

// The example's map is about 26 KB; past 4 KiB every write fails, as on a
// full disk.
TEST(RoughgcOutputFile, FailedWriteLeavesNoPartialMapAndKeepsAnEarlierOne) {
    RunOptions limited;
    limited.fileSizeLimit = 4096;
    TempDir fresh;
    expectWriteFailure(run({kFruits.string()}, fresh.path(), limited), "File too large");
    EXPECT_EQ(listing(fresh.path()), std::vector<std::string>{});

    TempDir earlier;
    writeFile(earlier / "RoughGC.bmp", "an earlier map");
    expectWriteFailure(run({kFruits.string()}, earlier.path(), limited), "File too large");
    EXPECT_EQ(readFile(earlier / "RoughGC.bmp"), "an earlier map");
    EXPECT_EQ(listing(earlier.path()), std::vector<std::string>{"RoughGC.bmp"});

    // Batch mode: each photo fails alike, and the folder it made stays empty.
    TempDir batch;
    const RunResult r = run({"-o", "out", "-j", "1", kFruits.string(), kGreyJpeg.string()}, batch.path(), limited);
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_EQ(r.err, kFruits.string() + ": Error writing out/fruits.bmp: File too large\n" + kGreyJpeg.string() +
                         ": Error writing out/left01.bmp: File too large\n")
        << r;
    EXPECT_EQ(listing(batch / "out"), std::vector<std::string>{});
}

// A Unix socket file at `path`, left behind once its descriptor is closed.
void makeSocketFile(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.string().size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    close(fd);
}

// Only files of the test's own stand in the way: a check that let one
// through would have the map renamed over it, which must never be a device.
TEST(RoughgcOutputFile, PipeOrDeviceInTheWayIsRefusedWithoutBlocking) {
    TempDir withPipe, linkToPipe, linkToSocket;
    ASSERT_EQ(mkfifo((withPipe / "RoughGC.bmp").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((linkToPipe / "pipe").c_str(), 0600), 0);
    fs::create_symlink(linkToPipe / "pipe", linkToPipe / "RoughGC.bmp");
    makeSocketFile(linkToSocket / "socket");
    fs::create_symlink("socket", linkToSocket / "RoughGC.bmp");
    const std::pair<const TempDir*, std::vector<std::string>> rows[] = {
        {&withPipe, {"RoughGC.bmp"}},
        {&linkToPipe, {"RoughGC.bmp", "pipe"}},
        {&linkToSocket, {"RoughGC.bmp", "socket"}},
    };
    for (const auto& [cwd, names] : rows) {
        SCOPED_TRACE(names.back());
        expectWriteFailure(run({kFruits.string()}, cwd->path()), "Not a regular file");
        EXPECT_EQ(listing(cwd->path()), names);
    }
    EXPECT_TRUE(fs::is_fifo(withPipe / "RoughGC.bmp"));
    EXPECT_TRUE(fs::is_symlink(linkToPipe / "RoughGC.bmp"));
    EXPECT_TRUE(fs::is_fifo(linkToPipe / "pipe"));
    EXPECT_TRUE(fs::is_symlink(linkToSocket / "RoughGC.bmp"));
    EXPECT_TRUE(fs::is_socket(linkToSocket / "socket"));
}

TEST(RoughgcOutputFile, SymbolicLinkIsWrittenThroughAndKept) {
    TempDir cwd, elsewhere;
    fs::create_symlink(elsewhere / "map.bmp", cwd / "RoughGC.bmp");
    ASSERT_EQ(run({kFruits.string()}, cwd.path()).status, 0);
    EXPECT_TRUE(fs::is_symlink(cwd / "RoughGC.bmp"));
    EXPECT_EQ(fnv1a(readFile(elsewhere / "map.bmp")), kFruitsMapHash);
    EXPECT_EQ(listing(elsewhere.path()), std::vector<std::string>{"map.bmp"});

    // Two relative hops, each relative to its own link's folder; the working
    // directory is one level down, so a hop taken from the wrong folder
    // still lands in the test's own.
    TempDir chain;
    const fs::path work = chain / "work";
    fs::create_directories(work / "a");
    fs::create_symlink("a/link2", work / "RoughGC.bmp");
    fs::create_symlink("../real.bmp", work / "a/link2");
    writeFile(work / "real.bmp", "an earlier map");
    ASSERT_EQ(run({kFruits.string()}, work).status, 0);
    EXPECT_EQ(fnv1a(readFile(work / "real.bmp")), kFruitsMapHash);
    EXPECT_EQ(fs::read_symlink(work / "RoughGC.bmp"), "a/link2");
    EXPECT_EQ(fs::read_symlink(work / "a/link2"), "../real.bmp");
    EXPECT_EQ(listing(work), (std::vector<std::string>{"RoughGC.bmp", "a", "real.bmp"}));
    EXPECT_EQ(listing(work / "a"), std::vector<std::string>{"link2"});
    EXPECT_EQ(listing(chain.path()), std::vector<std::string>{"work"});
}

// A map's name may be as long as any file name: nothing longer is made from
// it on the way.
TEST(RoughgcOutputFile, MapNamesUpToTheLongestLegalAreWritten) {
    std::string cjk;
    for (int i = 0; i < 81; ++i) cjk += "\u6f22";  // 3 bytes in UTF-8
    for (const std::string& stem : {std::string(245, 'p'), cjk + "ab", std::string(251, 'q')}) {
        SCOPED_TRACE(stem.size());
        TempDir cwd;
        fs::copy_file(kFruits, cwd / (stem + ".jpg"));
        const RunResult r = run({"-o", "out", stem + ".jpg"}, cwd.path());
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.err, "") << r;
        EXPECT_EQ(listing(cwd / "out"), std::vector<std::string>{stem + ".bmp"});
        EXPECT_EQ(fnv1a(readFile(cwd / "out" / (stem + ".bmp"))), kFruitsMapHash);
    }
}

TEST(RoughgcStandardOutput, FailedWriteIsReportedWithStatusFiveAfterTheMap) {
    TempDir cwd;
    RunOptions toFullDevice;
    toFullDevice.stdoutPath = "/dev/full";
    const RunResult r = run({kFruits.string()}, cwd.path(), toFullDevice);
    EXPECT_EQ(r.status, 5) << r;
    EXPECT_EQ(r.err, "(!) Error writing standard output: No space left on device\n") << r;
    EXPECT_EQ(fnv1a(readFile(cwd / "RoughGC.bmp")), kFruitsMapHash);
}

TEST(RoughgcPipeInput, PhotoThroughANamedPipeIsReadLikeAFile) {
    TempDir cwd;
    const fs::path pipe = cwd / "photo";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    PipeWriter writer(pipe, readFile(kFruits));
    const RunResult r = run({pipe.string()}, cwd.path());
    EXPECT_EQ(writer.finish(), "");
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(isSuccessOutput(r.out, 512, 480));
    EXPECT_EQ(fnv1a(readFile(cwd / "RoughGC.bmp")), kFruitsMapHash);
}

// The suite's own waits. A run that waits for what never comes (here, a
// writer for its pipe) is ended within seconds, the test failing with what
// it waited for; a slow run that works all along is not.
TEST(ToolRunner, ARunThatGoesQuietIsEndedWithinSecondsSayingWhatWasAwaited) {
    TempDir cwd;
    ASSERT_EQ(mkfifo((cwd / "photo").c_str(), 0600), 0);
    RunOptions options;
    options.quiet = std::chrono::seconds(2);
    const auto start = std::chrono::steady_clock::now();
    RunResult r;
    EXPECT_NONFATAL_FAILURE(r = run({"photo"}, cwd.path(), options),
                            "the tool went quiet for 2 s (no output, no file changed in " + cwd.path().string() +
                                ", no work) while the test waited for `roughgc photo` to exit; it was killed");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_EQ(r.signal, SIGKILL) << r;
    EXPECT_NE(r.hung, "") << r;

    // A writer that no reader comes for is ended as well.
    PipeWriter unread(cwd / "photo", "bytes");
    EXPECT_EQ(unread.finish(), "the writer of " + (cwd / "photo").string() +
                                   " still waited a second after its reader ended; it was killed");

    // Working without a word for longer than the bound is no silence: a
    // photo of 64 million pixels keeps the tool busy for several times this.
    options.quiet = std::chrono::milliseconds(300);
    cv::Mat big(8000, 8000, CV_8UC3, cv::Scalar(40, 120, 200));
    cv::randu(big(cv::Rect(0, 0, 8000, 100)), 0, 256);
    ASSERT_TRUE(cv::imwrite((cwd / "big.png").string(), big));
    const RunResult slow = run({"-o", "out", "big.png"}, cwd.path(), options);
    EXPECT_EQ(slow.hung, "") << slow;
    EXPECT_EQ(slow.status, 0) << slow;
}

// A test killed by its timeout leaves its folders behind; the next run's
// set-up removes them, and never those of tests running meanwhile.
TEST(ToolRunner, TheFoldersOfTestsThatAreGoneAreRemovedByTheNextOnesSetUp) {
    TempDir mine;
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const std::string leftover = "roughgc_cli_" + std::to_string(gone) + "_abcdef";
    const std::string sibling = "roughgc_cli_" + std::to_string(getppid()) + "_abcdef";
    for (const std::string& name : {leftover, sibling}) {
        fs::create_directories(mine / name / "out");
        writeFile(mine / name / "out/map.bmp", "a map");
    }
    const char* temp = getenv("TMPDIR");
    const std::string before = temp ? temp : "";
    setenv("TMPDIR", mine.path().c_str(), 1);
    {
        TempDir next;
        EXPECT_EQ(next.path().parent_path(), mine.path());
        EXPECT_FALSE(fs::exists(mine / leftover));
        EXPECT_EQ(readFile(mine / sibling / "out/map.bmp"), "a map");
    }
    if (temp) {
        setenv("TMPDIR", before.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
}

}  // namespace
