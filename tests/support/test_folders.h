// The temporary folders that tests make, named after the process that made
// them (PREFIX<pid>_XXXXXX), so that a test killed before it could remove
// its own (ctest's timeout, a crash) leaves nothing for long: the next test
// that makes one removes those of processes that are gone, and never those
// of tests that run at the same time.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace test_folders {

namespace fs = std::filesystem;

// The prefixes of the suite's folders under the system temp directory.
inline constexpr const char* kPrefixes[] = {"roughgc_test_", "roughgc_cli_"};

// The process that made the folder called `name`, or 0 where the name is
// not one of the suite's (or holds no process id: made before they did).
inline pid_t ownerOf(const std::string& name) {
    for (const char* prefix : kPrefixes) {
        const std::string p = prefix;
        if (name.compare(0, p.size(), p) != 0) continue;
        size_t end = p.size();
        while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
        if (end == p.size() || end - p.size() > 9 || end >= name.size() || name[end] != '_') return 0;
        return static_cast<pid_t>(std::strtol(name.c_str() + p.size(), nullptr, 10));
    }
    return 0;
}

// Removes `folder` with everything in it, giving its owner the rights it
// needs first (tests take them away to see writes fail).
inline void removeAll(const fs::path& folder) {
    std::error_code ec;
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(folder, ec);
}

// Removes the folders in `under` whose maker is gone: kill(pid, 0) finds no
// such process. A live process, or one of another user, keeps its folder.
inline void removeLeftovers(const fs::path& under = fs::temp_directory_path()) {
    std::error_code ec;
    for (fs::directory_iterator it(under, ec), end; !ec && it != end; it.increment(ec)) {
        const pid_t owner = ownerOf(it->path().filename().string());
        if (owner <= 0 || owner == getpid()) continue;
        if (kill(owner, 0) != 0 && errno == ESRCH) removeAll(it->path());
    }
}

// Makes a fresh folder PREFIX<pid>_XXXXXX under the system temp directory,
// after removing the leftovers of processes gone; throws where it cannot.
inline fs::path make(const char* prefix) {
    const fs::path temp = fs::temp_directory_path();
    removeLeftovers(temp);
    std::string name = (temp / (prefix + std::to_string(getpid()) + "_XXXXXX")).string();
    if (mkdtemp(name.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp " + name);
    return name;
}

}  // namespace test_folders
