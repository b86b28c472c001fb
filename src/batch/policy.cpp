#include "batch/policy.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Absolute first: weakly_canonical leaves a relative path relative where no
// part of it exists, and "out/x.bmp" and "./out/x.bmp" would then differ.
// A trailing slash names the same folder: "out/" is "out", made or not.
std::string canonical(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    fs::path p;
    if (ec) {
        p = fs::path(path).lexically_normal();
    } else {
        p = fs::weakly_canonical(absolute, ec);
        if (ec) p = absolute.lexically_normal();
    }
    if (!p.has_filename() && p.has_relative_path()) p = p.parent_path();
    return p.string();
}

}  // namespace

bool isPhotoName(const std::string& name) {
    static const std::set<std::string> extensions = {"jpg", "jpeg", "jpe", "jfif", "png", "bmp", "dib", "tif",
                                                     "tiff", "webp", "jp2", "pbm", "pgm", "ppm", "pnm", "pxm",
                                                     "pfm", "sr", "ras", "exr", "hdr", "pic"};
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    std::string extension = name.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extensions.count(extension) != 0;
}

namespace {

// Walks folders for findPhotos, each once.
class PhotoWalk {
public:
    PhotoWalk(bool recursive, std::vector<PhotoName>& photos) : recursive_(recursive), photos_(photos) {}

    // The photos of `folder` (as it is to be shown), their maps named from
    // `below`, the path below the folder that was named. Returns the
    // refusal, or empty.
    std::string walk(const std::string& folder, const std::string& below, bool& hasSubfolders) {
        struct stat st;
        if (stat(folder.c_str(), &st) != 0) return cannotRead(folder, errno);
        if (!walked_.insert({st.st_dev, st.st_ino}).second) return "";
        DIR* dir = opendir(folder.c_str());
        if (dir == nullptr) return cannotRead(folder, errno);
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
            errno = 0;
        }
        const int readError = errno;
        closedir(dir);
        if (readError != 0) return cannotRead(folder, readError);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::string path = (fs::path(folder) / name).string();
            const std::string mapName = below.empty() ? name : (fs::path(below) / name).string();
            if (stat(path.c_str(), &st) != 0) {
                // A link to nothing, or one that loops: a photo's name is
                // failed as the photo it says it is.
                if (isPhotoName(name)) photos_.push_back({path, stemOf(mapName)});
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                hasSubfolders = true;
                if (!recursive_) continue;
                bool deeper = false;
                if (std::string refusal = walk(path, mapName, deeper); !refusal.empty()) return refusal;
            } else if (S_ISREG(st.st_mode) && isPhotoName(name)) {
                // Not a pipe or a device met on the way: those are read
                // only when named.
                photos_.push_back({path, stemOf(mapName)});
            }
        }
        return "";
    }

    static std::string stemOf(const std::string& name) {
        const fs::path p(name);
        return (p.parent_path() / p.stem()).string();
    }

private:
    static std::string cannotRead(const std::string& folder, int error) {
        return "cannot read the folder " + folder + ": " + std::strerror(error);
    }

    bool recursive_;
    std::vector<PhotoName>& photos_;
    std::set<std::pair<dev_t, ino_t>> walked_;
};

}  // namespace

std::string findPhotos(const std::vector<std::string>& names, bool recursive, std::vector<PhotoName>& photos,
                       std::vector<std::string>& notes) {
    photos.clear();
    PhotoWalk walk(recursive, photos);
    for (const std::string& name : names) {
        struct stat st;
        if (stat(name.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            photos.push_back({name, fs::path(name).stem().string()});
            continue;
        }
        const size_t before = photos.size();
        bool hasSubfolders = false;
        if (std::string refusal = walk.walk(name, "", hasSubfolders); !refusal.empty()) return refusal;
        if (photos.size() == before)
            notes.push_back("no photos in " + name +
                            (hasSubfolders && !recursive ? " (its subfolders are walked with -R)" : ""));
    }
    return "";
}

std::string planMaps(const std::vector<std::string>& photos, const std::string& outDir, BatchPlan& plan,
                     const std::string& format) {
    std::vector<PhotoName> named;
    named.reserve(photos.size());
    for (const std::string& photo : photos) named.push_back({photo, fs::path(photo).stem().string()});
    return planNamedMaps(named, outDir, plan, format);
}

std::string planNamedMaps(const std::vector<PhotoName>& photos, const std::string& outDir, BatchPlan& plan,
                          const std::string& format, const std::string& overlayDir) {
    std::vector<BatchItem>& items = plan.items;
    items.clear();
    plan.byMap.clear();
    plan.byPhoto.clear();
    for (const auto& [photo, name] : photos) {
        const std::string map = (fs::path(outDir) / (name + "." + format)).string();
        const auto [it, added] = plan.byMap.emplace(canonical(map), items.size());
        if (!added) return items[it->second].photo + " and " + photo + " would both write " + map;
        plan.byPhoto.emplace(canonical(photo), items.size());
        const std::string overlay = overlayDir.empty() ? "" : (fs::path(overlayDir) / (name + ".jpg")).string();
        items.push_back({photo, map, overlay});
    }
    for (const BatchItem& item : items) {
        const auto it = plan.byPhoto.find(canonical(item.map));
        if (it != plan.byPhoto.end())
            return "the map of " + item.photo + " would overwrite " + items[it->second].photo;
        if (item.overlay.empty()) continue;
        if (const auto at = plan.byPhoto.find(canonical(item.overlay)); at != plan.byPhoto.end())
            return "the overlay of " + item.photo + " would overwrite " + items[at->second].photo;
    }
    return "";
}

std::string reportProblem(const BatchPlan& plan, const std::string& report, const std::string& outDir,
                          const std::string& list, const std::string& option) {
    const std::string key = canonical(report);
    if (const auto it = plan.byPhoto.find(key); it != plan.byPhoto.end())
        return "the report " + report + " would overwrite the photo " + plan.items[it->second].photo;
    if (const auto it = plan.byMap.find(key); it != plan.byMap.end())
        return "the report " + report + " would overwrite the map of " + plan.items[it->second].photo;
    if (!list.empty() && list != "-" && canonical(list) == key)
        return "the report " + report + " would overwrite the list " + list;
    // Its folder must be there already, unless it is the output folder, made
    // before the report is opened.
    const fs::path folder = fs::path(report).parent_path();
    if (!folder.empty() && !fs::is_directory(folder) && canonical(folder.string()) != canonical(outDir))
        return "cannot write the report " + report + ": no folder " + folder.string();
    return reportPathProblem(report, option);
}

std::string readList(const std::string& path, bool nullSeparated, std::vector<std::string>& names,
                     int& errorNumber) {
    errorNumber = 0;
    std::ifstream file;
    std::istream* in = &std::cin;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file) {
            errorNumber = errno;
            return std::strerror(errorNumber);
        }
        in = &file;
    }
    std::string name;
    while (std::getline(*in, name, nullSeparated ? '\0' : '\n')) {
        if (!nullSeparated && !name.empty() && name.back() == '\r') name.pop_back();
        // No file name holds a NUL: this is a list that find -print0 wrote.
        if (!nullSeparated && name.find('\0') != std::string::npos)
            return "it holds NUL bytes (for a list that ends names with NUL bytes, add --null)";
        if (!name.empty()) names.push_back(name);
    }
    if (in->bad()) return "read error";
    return "";
}

std::string listRefusal(const std::string& shown, const std::string& why) {
    return "cannot read " + shown + ": " + why;
}

std::optional<double> numberIn(const std::string& text, const NumberRange& range) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(begin, &end);
    const bool parsed = !text.empty() && end == begin + text.size() && errno == 0 &&
                        !std::isspace(static_cast<unsigned char>(*begin));
    if (parsed && value >= range.low && value <= range.high && (!range.whole || value == std::floor(value)))
        return value;
    return std::nullopt;
}

std::string numberRefusal(const std::string& shown, const NumberRange& range) {
    return std::string("must be a ") + (range.whole ? "whole number" : "number") + " from " + rangeText(range) +
           ", not " + (shown.empty() ? std::string("an empty value") : shown);
}

std::string rangeText(const NumberRange& range) {
    std::ostringstream text;
    text << range.low << " to " << range.high;
    return text.str();
}

std::string defaultText(float value) {
    char text[32];
    for (int digits = 1;; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        if (digits >= 9 || std::strtof(text, nullptr) == value) return text;
    }
}

std::string summaryLine(size_t written, size_t failed, size_t skipped, size_t notStarted, double seconds) {
    std::string line = std::to_string(written) + " maps written, " + std::to_string(failed) + " failed";
    if (skipped != 0) line += ", " + std::to_string(skipped) + " skipped";
    if (notStarted != 0) line += ", " + std::to_string(notStarted) + " not started";
    char time[32];
    std::snprintf(time, sizeof time, ", %.1f s", seconds);
    return line + time;
}

