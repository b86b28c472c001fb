// What one photo costs in a process of its own, start-up included, against
// the floors such a process cannot go under, measured side by side:
//   core floor:    a program that does nothing, linked to OpenCV's core;
//   roughgc --version, and roughgc on examples/fruits.jpg;
//   decode floor:  a program that only decodes a 12-megapixel JPEG with
//                  libjpeg into a fresh buffer on huge pages;
//   roughgc on that JPEG, and on the same pixels as a PNG;
//   python3 -c "import numpy", python3 -c "import roughgc" (which imports
//   numpy only when it needs it), and both.
// Each row runs N times (default 30), the rows taking turns, so that a busy
// moment of the machine falls on all of them alike; each is a whole process
// timed from spawn to exit, with its page faults (minor and major) and peak
// resident set. Medians and worst runs are reported, and the ratios that
// say how close each run comes to its floor.
//
//   roughgc_startup [--runs N] [--work DIR]
//
// The 12-megapixel photos are made once, by roughgc_startup_photos (a
// cubic upscale of bench/data's baboon.jpg, JPEG quality 95), and kept in
// the work folder. This program links no OpenCV and holds nothing large: a
// child's peak resident set, as the kernel counts it, starts from its
// parent's.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "process_run.h"

namespace {

namespace fs = std::filesystem;

struct Row {
    std::string name;
    std::vector<std::string> args;
    std::vector<ProcessRun> runs;
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "roughgc_startup: %s\n", message.c_str());
    std::exit(1);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Summary {
    double ms = 0, worstMs = 0, faults = 0, peakMb = 0;
};

Summary summarise(const Row& row) {
    std::vector<double> ms, faults;
    Summary s;
    for (const ProcessRun& r : row.runs) {
        ms.push_back(r.seconds * 1000);
        faults.push_back(static_cast<double>(r.pageFaults));
        s.peakMb = std::max(s.peakMb, static_cast<double>(r.peakKilobytes) / 1024);
    }
    s.ms = median(ms);
    s.worstMs = *std::max_element(ms.begin(), ms.end());
    s.faults = median(faults);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 30;
    fs::path work = ROUGHGC_STARTUP_WORK;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--work" && i + 1 < argc) {
            work = argv[++i];
        } else {
            fail("usage: roughgc_startup [--runs N] [--work DIR]");
        }
    }
    fs::create_directories(work);
    const fs::path jpeg = work / "baboon_12mp.jpg", png = work / "baboon_12mp.png";
    if (!fs::exists(jpeg) || !fs::exists(png)) {
        const ProcessRun made = runProcess({ROUGHGC_STARTUP_PHOTOS, ROUGHGC_BENCH_DATA "/baboon.jpg", jpeg.string(),
                                            png.string()},
                                           work, work / "stdout");
        if (made.status != 0) fail("cannot make the 12-megapixel photos in " + work.string());
    }
    // The Python package of this build, with Debian's Python and numpy.
    setenv("PYTHONPATH", ROUGHGC_PYTHON_DIR, 1);
    setenv("PYTHONDONTWRITEBYTECODE", "1", 1);

    std::vector<Row> rows = {
        {"core floor: empty program linked to opencv_core", {ROUGHGC_CORE_FLOOR}, {}},
        {"roughgc --version", {ROUGHGC_TOOL, "--version"}, {}},
        {"roughgc examples/fruits.jpg (512 x 480)", {ROUGHGC_TOOL, ROUGHGC_EXAMPLES "/fruits.jpg"}, {}},
        {"decode floor: libjpeg, 12 MP JPEG, huge pages", {ROUGHGC_DECODE_FLOOR, jpeg.string()}, {}},
        {"roughgc on the 12 MP JPEG", {ROUGHGC_TOOL, jpeg.string()}, {}},
        {"roughgc on the 12 MP PNG", {ROUGHGC_TOOL, png.string()}, {}},
        {"python3 -c \"import numpy\"", {"/usr/bin/python3", "-c", "import numpy"}, {}},
        {"python3 -c \"import roughgc\"", {"/usr/bin/python3", "-c", "import roughgc"}, {}},
        {"python3 -c \"import numpy, roughgc\"", {"/usr/bin/python3", "-c", "import numpy, roughgc"}, {}},
    };
    const fs::path out = work / "stdout";
    // One untimed run of each: the files and libraries in the page cache.
    for (Row& row : rows) {
        const ProcessRun r = runProcess(row.args, work, out);
        if (r.spawnError != 0 || r.status != 0) fail("`" + row.name + "` failed");
    }
    for (int i = 0; i < runs; ++i) {
        for (Row& row : rows) {
            row.runs.push_back(runProcess(row.args, work, out));
            if (row.runs.back().status != 0) fail("`" + row.name + "` failed");
        }
    }

    std::printf("%-50s %9s %9s %9s %9s\n", "whole process", "median", "worst", "faults", "peak");
    std::vector<Summary> s;
    for (const Row& row : rows) {
        s.push_back(summarise(row));
        std::printf("%-50s %6.1f ms %6.1f ms %9.0f %6.1f MB\n", row.name.c_str(), s.back().ms, s.back().worstMs,
                    s.back().faults, s.back().peakMb);
    }
    std::printf("\n--version / core floor:        %.2f\n", s[1].ms / s[0].ms);
    std::printf("fruits.jpg / core floor:       %.2f\n", s[2].ms / s[0].ms);
    std::printf("12 MP JPEG / decode floor:     %.2f\n", s[4].ms / s[3].ms);
    std::printf("import roughgc - import numpy: %+.1f ms\n", s[7].ms - s[6].ms);
    std::printf("import numpy, roughgc - import numpy: %+.1f ms\n", s[8].ms - s[6].ms);
    std::printf("(%d runs of each, taking turns; medians; faults are minor and major; peak is the largest resident set)\n",
                runs);
    return 0;
}
