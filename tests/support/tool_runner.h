// Running the built roughgc as a user does: as a process in a directory of
// its own, judged by what it prints, its exit status and the files it leaves.
//
// No test waits on the tool without bound: a run that shows no sign of life
// for a few seconds (nothing printed, no file made or changed in its
// folder, no work done) is ended, and so is one that outlasts a minute; the
// test fails, saying what it waited for.
#pragma once

#include <grp.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "test_folders.h"

namespace tool {

namespace fs = std::filesystem;

const fs::path kTool = ROUGHGC_TOOL;

// A directory of its own under the system temp directory, removed with
// everything in it (permissions restored first) when the object goes, or
// by a later test's once this process is gone (see test_folders.h).
class TempDir {
public:
    TempDir() : path_(test_folders::make("roughgc_cli_")) {}
    ~TempDir() { test_folders::removeAll(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or -1 if the process did not exit normally
    int signal = 0;   // the signal that ended it, if one did
    std::string hung;  // why the runner ended it, for going quiet or taking too long; empty if it ended itself
};

inline std::ostream& operator<<(std::ostream& os, const RunResult& r) {
    if (!r.hung.empty()) os << r.hung << "\n";
    return os << "exit status " << r.status << ", signal " << r.signal << "\n--- stdout ---\n"
              << r.out << "--- stderr ---\n"
              << r.err;
}

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline uint64_t fnv1a(const std::string& bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) h = (h ^ c) * 0x100000001b3ull;
    return h;
}

// The names in `dir`, sorted.
inline std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct RunOptions {
    std::string stdinPath = "/dev/null";
    std::string stdoutPath;                 // standard output goes here, if set, and is not captured
    rlim_t fileSizeLimit = RLIM_INFINITY;  // as `ulimit -f`, in bytes
    rlim_t addressSpaceLimit = RLIM_INFINITY;  // as `ulimit -v`, in bytes
    rlim_t openFileLimit = RLIM_INFINITY;      // as `ulimit -n`
    uid_t user = 0;  // another user to run as (the suite running as root), or 0: as the suite runs
    std::function<void(pid_t)> started;     // called with the process's id once it runs
    std::vector<std::pair<std::string, std::string>> environment;  // set for the tool alone
    std::vector<std::string> unset;                                 // taken from the tool's environment
    // A run that shows no sign of life for this long is ended as hung: no
    // byte printed, no file made, grown or touched in its folder, and less
    // than a tenth of a core's work. Slow is not quiet (a sanitizer's run
    // works all along), while a wait that never ends does nothing at all.
    std::chrono::milliseconds quiet{10000};
    std::chrono::milliseconds most{60000};  // and any run that takes longer than this
};

namespace detail {

inline uint64_t mix(uint64_t h, uint64_t v) { return (h ^ v) * 0x100000001b3ull; }

// A digest of the files the tool writes: its output, and the names, sizes
// and times of everything in its folder.
inline uint64_t filesIn(const fs::path& dir, const std::vector<std::string>& outputs) {
    uint64_t h = 0xcbf29ce484222325ull;
    auto add = [&h](const std::string& path) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return;
        for (char c : path) h = mix(h, static_cast<unsigned char>(c));
        h = mix(mix(mix(h, st.st_size), st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
        h = mix(h, st.st_mode);
    };
    for (const std::string& output : outputs) add(output);
    std::error_code ec;
    int seen = 0;
    for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator() && ++seen < 20000; it.increment(ec))
        add(it->path().string());
    return h;
}

// User and system time of process `pid`, in clock ticks.
inline long ticksOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return 0;
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::atol(field.c_str());
        if (i == 15) stime = std::atol(field.c_str());
    }
    return utime + stime;
}

inline std::string secondsIn(std::chrono::milliseconds span) {
    std::ostringstream text;
    text << span.count() / 1000;
    if (span.count() % 1000 != 0) text << "." << span.count() % 1000 / 100;
    return text.str();
}

inline std::string commandLine(const std::vector<std::string>& args) {
    std::string line = "roughgc";
    for (const std::string& arg : args)
        line += " " + (arg.empty() || arg.find_first_of(" \t\n\r\"") != std::string::npos ? "'" + arg + "'" : arg);
    return line;
}

// The forked child's side of run(): a process group of its own, the
// options' limits, user and environment, the files as its standard streams,
// then the tool. Never returns.
[[noreturn]] inline void execTool(std::vector<char*>& argv, const std::string& dir, const RunOptions& options, int in,
                                  int out, int err, pid_t parent) {
    // A group of its own, so that whatever it starts is ended with it;
    // and should the test itself die first, the tool goes too.
    setpgid(0, 0);
    const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
    const rlimit space{options.addressSpaceLimit, options.addressSpaceLimit};
    const rlimit files{options.openFileLimit, options.openFileLimit};
    alarm(static_cast<unsigned>(options.most.count() / 1000) + 30);
    for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
    for (const std::string& name : options.unset) unsetenv(name.c_str());
    const bool asUser = options.user == 0 || (setgroups(0, nullptr) == 0 && setgid(options.user) == 0 &&
                                              setuid(options.user) == 0);
    // After the change of user, which clears it.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
    if (asUser && setrlimit(RLIMIT_FSIZE, &limit) == 0 && setrlimit(RLIMIT_AS, &space) == 0 &&
        (options.openFileLimit == RLIM_INFINITY || setrlimit(RLIMIT_NOFILE, &files) == 0) && chdir(dir.c_str()) == 0 &&
        dup2(in, 0) == 0 && dup2(out, 1) == 1 && dup2(err, 2) == 2)
        execv(argv[0], argv.data());
    _exit(127);
}

// Why a run that went quiet, or ran too long, was killed.
inline std::string hungReason(bool quiet, const RunOptions& options, const std::string& dir, const std::string& shown) {
    std::ostringstream why;
    if (quiet)
        why << "the tool went quiet for " << secondsIn(options.quiet) << " s (no output, no file changed in " << dir
            << ", no work) while the test waited for `" << shown << "` to exit; it was killed";
    else
        why << "`" << shown << "` in " << dir << " ran for " << secondsIn(options.most)
            << " s, the most a run may take, while the test waited for it to exit; it was killed";
    return why.str();
}

// Waits for the tool `pid` to end and gives its wait status. One that goes
// quiet (no new output or file in `cwd`, no work) or runs too long is
// killed with its group, the reason in `hung`.
inline int waitWatching(pid_t pid, const fs::path& cwd, const std::vector<std::string>& outputs,
                        const RunOptions& options, const std::string& shown, std::string& hung) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto lastSign = start, nextLook = start;
    uint64_t files = filesIn(cwd, outputs);
    long ticksAtSign = ticksOf(pid);
    const long ticksPerSecond = sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100;
    int wstatus = 0;
    for (int round = 0;; ++round) {
        const pid_t ended = waitpid(pid, &wstatus, WNOHANG);
        if (ended == pid) return wstatus;
        if (ended < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
        std::this_thread::sleep_for(std::chrono::milliseconds(round < 50 ? 5 : 20));
        const auto now = Clock::now();
        if (now < nextLook) continue;
        nextLook = now + std::min<std::chrono::milliseconds>(std::chrono::milliseconds(250), options.quiet / 3);
        const uint64_t nowFiles = filesIn(cwd, outputs);
        const long ticks = ticksOf(pid);
        // A tenth of a core since the last sign, and a few ticks at least:
        // a poll now and then is no work.
        const double sinceSign = std::chrono::duration<double>(now - lastSign).count();
        const bool worked = ticks - ticksAtSign >= std::max(3.0, 0.1 * sinceSign * ticksPerSecond);
        if (nowFiles != files || worked) {
            files = nowFiles;
            ticksAtSign = ticks;
            lastSign = now;
        }
        const bool quiet = now - lastSign >= options.quiet, tooLong = now - start >= options.most;
        if (!quiet && !tooLong) continue;
        hung = hungReason(quiet, options, cwd.string(), shown);
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        while (waitpid(pid, &wstatus, 0) < 0)
            if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
        ADD_FAILURE() << hung;
        return wstatus;
    }
}

}  // namespace detail

// Runs the tool with `args` in the directory `cwd`; standard output and
// error go to files outside `cwd`. A run that goes quiet (see RunOptions)
// or runs too long is killed, with its process group, and the test fails.
inline RunResult run(std::vector<std::string> args, const fs::path& cwd, const RunOptions& options = {}) {
    TempDir capture;
    const std::string errPath = capture / "stderr";
    const std::string outPath = options.stdoutPath.empty() ? (capture / "stdout").string() : options.stdoutPath;
    const std::string tool = kTool.string(), dir = cwd.string();
    const std::string shown = detail::commandLine(args);
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    const int in = open(options.stdinPath.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0 || err < 0) throw std::system_error(errno, std::generic_category(), "open");

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) detail::execTool(argv, dir, options, in, out, err, parent);
    close(in);
    close(out);
    close(err);
    if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
    setpgid(pid, pid);  // as the child does: whichever comes first
    if (options.started) options.started(pid);

    RunResult r;
    const int wstatus = detail::waitWatching(pid, cwd, {outPath, errPath}, options, shown, r.hung);
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
    if (options.stdoutPath.empty()) r.out = readFile(outPath);
    r.err = readFile(errPath);
    return r;
}

// A process that writes `bytes` into the named pipe `pipe` and is gone,
// as `cat photo > pipe &` does: it waits for a reader to open the pipe, and
// a reader that goes without reading ends it (EPIPE, or its bytes lost with
// the pipe), as it ends cat.
class PipeWriter {
public:
    PipeWriter(const fs::path& pipe, const std::string& bytes) : pipe_(pipe.string()) {
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(2);
            alarm(120);
            size_t done = 0;
            const int fd = open(pipe_.c_str(), O_WRONLY | O_CLOEXEC);
            while (fd >= 0 && done < bytes.size()) {
                const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            _exit(done == bytes.size() ? 0 : 1);
        }
        if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
    }
    ~PipeWriter() { finish(); }
    PipeWriter(const PipeWriter&) = delete;
    PipeWriter& operator=(const PipeWriter&) = delete;

    // Once its reader is done: empty if the writer wrote every byte and
    // left; otherwise why not. A writer still waiting a second later (for
    // a reader that never came, or that stopped reading) is ended.
    std::string finish() {
        if (pid_ <= 0) return outcome_;
        int wstatus = 0;
        pid_t ended = 0;
        for (int i = 0; i < 200 && (ended = waitpid(pid_, &wstatus, WNOHANG)) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (ended == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &wstatus, 0);
            outcome_ = "the writer of " + pipe_ + " still waited a second after its reader ended; it was killed";
        } else if (!WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) {
            outcome_ = "the writer of " + pipe_ + " could not write all its bytes";
        }
        pid_ = 0;
        return outcome_;
    }

private:
    std::string pipe_;
    pid_t pid_ = 0;
    std::string outcome_;
};

}  // namespace tool
