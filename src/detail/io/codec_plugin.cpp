#include "detail/io/codec_plugin.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "detail/io/signatures.h"

namespace roughgc::detail {

namespace {

constexpr const char* kPluginName = "roughgc_codecs.so";

struct Opened {
    const RoughgcCodecs* codecs = nullptr;
    bool found = false;  // a plugin file was there, though it may not open
};

// Whether `address` lies in the main program, the first object that
// dl_iterate_phdr reports.
bool inMainProgram(const void* address) {
    struct Search {
        uintptr_t address;
        bool inside;
    } search{reinterpret_cast<uintptr_t>(address), false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
                if (segment.p_type == PT_LOAD && s->address >= start && s->address - start < segment.p_memsz)
                    s->inside = true;
            }
            return 1;
        },
        &search);
    return search.inside;
}

// The folder of the program or shared module this library is linked into:
// for the program, the file the kernel started (its own record may hold
// argv[0] as typed).
std::string ownFolder() {
    const void* here = reinterpret_cast<const void*>(&ownFolder);
    std::string path;
    if (inMainProgram(here)) {
        char self[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) path.assign(self, static_cast<size_t>(n));
    } else if (Dl_info info{}; dladdr(here, &info) != 0 && info.dli_fname != nullptr) {
        path = info.dli_fname;
    }
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::vector<std::string> candidates() {
    if (const char* chosen = std::getenv("ROUGHGC_CODECS_PLUGIN")) {
        if (*chosen == '\0') return {};
        return {chosen};
    }
    std::vector<std::string> paths;
    const std::string folder = ownFolder();
    if (!folder.empty()) {
        paths.push_back(folder + "/" + kPluginName);
        paths.push_back(folder + "/" ROUGHGC_CODECS_RELATIVE "/" + kPluginName);
    }
    paths.push_back(std::string(ROUGHGC_CODECS_INSTALLED "/") + kPluginName);
    return paths;
}

Opened open() {
    Opened opened;
    for (const std::string& path : candidates()) {
        if (access(path.c_str(), F_OK) != 0) continue;
        opened.found = true;
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) continue;
        using Entry = const RoughgcCodecs* (*)();
        const auto entry = reinterpret_cast<Entry>(dlsym(handle, ROUGHGC_CODECS_ENTRY));
        const RoughgcCodecs* codecs = entry != nullptr ? entry() : nullptr;
        if (codecs != nullptr && codecs->version == ROUGHGC_CODECS_VERSION) {
            opened.codecs = codecs;  // open for good: its codecs stay loaded
            return opened;
        }
        dlclose(handle);
    }
    return opened;
}

const Opened& plugin() {
    static const Opened opened = open();
    return opened;
}

bool startsWith(const unsigned char* bytes, size_t size, const char* text, size_t length) {
    return size >= length && std::memcmp(bytes, text, length) == 0;
}

}  // namespace

const RoughgcCodecs* codecPlugin() { return plugin().codecs; }

const char* codecFormat(const unsigned char* b, size_t n) {
    // The signatures OpenCV's decoders take, in the order it tries them.
    if (startsWith(b, n, "BM", 2)) return "BMP";
    if (startsWith(b, n, "#?RGBE", 6) || startsWith(b, n, "#?RADIANCE", 10)) return "Radiance HDR";
    if (looksLikeWebp(b, n)) return "WebP";
    if (startsWith(b, n, "\x59\xA6\x6A\x95", 4)) return "Sun raster";
    if (n >= 3 && b[0] == 'P' && std::isspace(b[2])) {
        if (b[1] >= '1' && b[1] <= '6') return "PNM";
        if (b[1] == '7') return "PAM";
        if (b[1] == 'f' || b[1] == 'F') return "PFM";
    }
    if (startsWith(b, n, "II\x2a\x00", 4) || startsWith(b, n, "MM\x00\x2a", 4) || startsWith(b, n, "II\x2b\x00", 4) ||
        startsWith(b, n, "MM\x00\x2b", 4))
        return "TIFF";
    if (n >= 132 && std::memcmp(b + 128, "DICM", 4) == 0) return "DICOM";
    if (startsWith(b, n, "\x00\x00\x00\x0cjP  \r\n\x87\n", 12) || startsWith(b, n, "\xff\x4f\xff\x51", 4))
        return "JPEG 2000";
    if (startsWith(b, n, "\x76\x2f\x31\x01", 4)) return "OpenEXR";
    if (startsWith(b, n, "NITF", 4)) return "NITF";
    if (n >= 144 && std::memcmp(b + 140, "DTED", 4) == 0) return "DTED";
    return nullptr;
}

const char* codecFormatOfExtension(const std::string& extension) {
    std::string e;
    for (const char c : extension) e += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const struct {
        const char* extension;
        const char* format;
    } formats[] = {{".jpg", "JPEG"},  {".jpeg", "JPEG"},   {".jpe", "JPEG"},       {".jp2", "JPEG 2000"},
                   {".webp", "WebP"}, {".tif", "TIFF"},    {".tiff", "TIFF"},      {".pbm", "PNM"},
                   {".pgm", "PNM"},   {".ppm", "PNM"},     {".pxm", "PNM"},        {".pnm", "PNM"},
                   {".pam", "PAM"},   {".pfm", "PFM"},     {".sr", "Sun raster"},  {".ras", "Sun raster"},
                   {".exr", "OpenEXR"}, {".hdr", "Radiance HDR"}, {".pic", "Radiance HDR"}};
    for (const auto& f : formats)
        if (e == f.extension) return f.format;
    return nullptr;
}

std::string codecsMissing(const char* format, const char* files) {
    if (!plugin().found)
        return std::string("(!) ") + format + " " + files + " need roughgc's codec plugin, " + kPluginName +
               ", which is missing: reinstall roughgc";
    return std::string("(!) ") + format + " " + files + " need OpenCV's image codecs: install " ROUGHGC_CODECS_PACKAGE;
}

}  // namespace roughgc::detail
