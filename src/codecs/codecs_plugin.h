// The codec plugin's interface: OpenCV's image codecs, in a library of their
// own that the core opens with dlopen the first time a photo or a map needs
// a format it does not decode or encode itself. Both sides link the same
// OpenCV core, so matrices pass as they are.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <vector>

// Bumped whenever this table changes: a plugin of another version is not used.
#define ROUGHGC_CODECS_VERSION 1

// What a call of the plugin came to.
enum RoughgcCodecsStatus {
    ROUGHGC_CODECS_DONE = 0,
    ROUGHGC_CODECS_REFUSED = 1,        // OpenCV cannot read (or write) it
    ROUGHGC_CODECS_OUT_OF_MEMORY = 2,  // OpenCV ran out of memory on it
};

struct RoughgcCodecs {
    int version;  // ROUGHGC_CODECS_VERSION
    // cv::imread(path, IMREAD_COLOR) into `image`: 8-bit BGR, continuous.
    int (*read)(const char* path, cv::Mat* image);
    // cv::imencode(extension, *image, *out); on refusal, OpenCV's reason in
    // `why` (one line, cut to whySize).
    int (*encode)(const char* extension, const cv::Mat* image, std::vector<unsigned char>* out, char* why,
                  size_t whySize);
    // Whether OpenCV has an encoder for the extension (".tiff").
    int (*canWrite)(const char* extension);
};

// The plugin's one exported symbol.
#define ROUGHGC_CODECS_ENTRY "roughgc_codecs"
extern "C" const RoughgcCodecs* roughgc_codecs();
