// The codec plugin: cv::imread and cv::imencode for every format that the
// library leaves to OpenCV. Linking OpenCV's image codecs loads over a
// hundred libraries (GDAL, poppler, HDF5, database clients); they load only
// with this plugin, when a photo needs them.
#include "codecs/codecs_plugin.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <opencv2/imgcodecs.hpp>
#include <string>

namespace {

int failure(const cv::Exception& e) {
    return e.code == cv::Error::StsNoMem ? ROUGHGC_CODECS_OUT_OF_MEMORY : ROUGHGC_CODECS_REFUSED;
}

int read(const char* path, cv::Mat* image) {
    try {
        cv::Mat decoded = cv::imread(path, cv::IMREAD_COLOR);
        if (decoded.empty()) return ROUGHGC_CODECS_REFUSED;
        // OpenCV calls an image of over 2 GiB not continuous, whose rows
        // follow each other all the same: only rows with gaps between
        // them are closed up.
        if (decoded.step[0] != decoded.elemSize() * static_cast<size_t>(decoded.cols)) decoded = decoded.clone();
        *image = decoded;
        return ROUGHGC_CODECS_DONE;
    } catch (const cv::Exception& e) {
        // A header over OpenCV's limits, or no memory to decode.
        return failure(e);
    } catch (const std::bad_alloc&) {
        return ROUGHGC_CODECS_OUT_OF_MEMORY;
    }
}

int encode(const char* extension, const cv::Mat* image, std::vector<unsigned char>* out, char* why, size_t whySize) {
    std::string reason;
    int status = ROUGHGC_CODECS_DONE;
    try {
        if (!cv::imencode(extension, *image, *out)) {
            reason = "the encoder failed";
            status = ROUGHGC_CODECS_REFUSED;
        }
    } catch (const cv::Exception& e) {
        reason = e.what();
        status = failure(e);
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
        status = ROUGHGC_CODECS_OUT_OF_MEMORY;
    }
    if (status != ROUGHGC_CODECS_DONE && whySize > 0) {
        std::replace(reason.begin(), reason.end(), '\n', ' ');
        const size_t n = std::min(reason.size(), whySize - 1);
        std::memcpy(why, reason.data(), n);
        why[n] = '\0';
    }
    return status;
}

int canWrite(const char* extension) {
    try {
        return cv::haveImageWriter(std::string("x") + extension) ? 1 : 0;
    } catch (const cv::Exception&) {
        return 0;
    }
}

const RoughgcCodecs codecs{ROUGHGC_CODECS_VERSION, read, encode, canWrite};

}  // namespace

extern "C" __attribute__((visibility("default"))) const RoughgcCodecs* roughgc_codecs() { return &codecs; }
