// Running the built roughgc as a user does: as a process in a directory of
// its own, judged by what it prints, its exit status and the files it leaves.
#pragma once

#include <grp.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace tool {

namespace fs = std::filesystem;

const fs::path kTool = ROUGHGC_TOOL;

// A directory of its own under the system temp directory, removed with
// everything in it (permissions restored first) when the object goes.
class TempDir {
public:
    TempDir() {
        std::string name = (fs::temp_directory_path() / "roughgc_cli_XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path_ = name;
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
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
};

inline std::ostream& operator<<(std::ostream& os, const RunResult& r) {
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
};

// Runs the tool with `args` in the directory `cwd`; standard output and
// error go to files outside `cwd`. A run that hangs is
// ended by SIGALRM after a minute.
inline RunResult run(std::vector<std::string> args, const fs::path& cwd, const RunOptions& options = {}) {
    TempDir capture;
    const std::string errPath = capture / "stderr";
    const std::string outPath = options.stdoutPath.empty() ? (capture / "stdout").string() : options.stdoutPath;
    const std::string tool = kTool.string(), dir = cwd.string();
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    const int in = open(options.stdinPath.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0 || err < 0) throw std::system_error(errno, std::generic_category(), "open");

    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
        const rlimit space{options.addressSpaceLimit, options.addressSpaceLimit};
        const rlimit files{options.openFileLimit, options.openFileLimit};
        alarm(60);
        for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
        for (const std::string& name : options.unset) unsetenv(name.c_str());
        const bool asUser = options.user == 0 || (setgroups(0, nullptr) == 0 && setgid(options.user) == 0 &&
                                                  setuid(options.user) == 0);
        if (asUser && setrlimit(RLIMIT_FSIZE, &limit) == 0 && setrlimit(RLIMIT_AS, &space) == 0 &&
            (options.openFileLimit == RLIM_INFINITY || setrlimit(RLIMIT_NOFILE, &files) == 0) && chdir(dir.c_str()) == 0 && dup2(in, 0) == 0 &&
            dup2(out, 1) == 1 && dup2(err, 2) == 2)
            execv(argv[0], argv.data());
        _exit(127);
    }
    close(in);
    close(out);
    close(err);
    if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (options.started) options.started(pid);

    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0)
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
    RunResult r;
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
    if (options.stdoutPath.empty()) r.out = readFile(outPath);
    r.err = readFile(errPath);
    return r;
}

}  // namespace tool
