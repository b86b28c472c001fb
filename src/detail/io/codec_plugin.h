// OpenCV's image codecs, for the formats the library leaves to them: a
// plugin opened with dlopen the first time a photo or a map needs one, so
// that JPEG and PNG photos, and BMP and PNG maps, never load them.
#pragma once

#include <cstddef>
#include <string>

#include "codecs/codecs_plugin.h"

namespace roughgc::detail {

// The plugin, opened on the first call from any thread; null where it
// cannot be (it, or OpenCV's image codecs that it links, are not
// installed). It is looked for at $ROUGHGC_CODECS_PLUGIN alone where that
// is set (empty: nowhere), and otherwise beside the program or module that
// holds this library, in the library folder of the prefix it was installed
// under, and where the library was installed.
const RoughgcCodecs* codecPlugin();

// The format that encoded bytes begin as, among those that OpenCV's codecs
// read and the library leaves to them ("TIFF", "WebP", ...); null for JPEG,
// PNG and any other bytes.
const char* codecFormat(const unsigned char* bytes, size_t size);

// The format of a file extension (".tif", ".webp") that OpenCV's codecs
// write and the library leaves to them; null for BMP, PNG and extensions
// no codec has.
const char* codecFormatOfExtension(const std::string& extension);

// The line that refuses a photo or a map of `format` (as codecFormat names
// it) when codecPlugin() is null, naming what to install. `files` is
// "photos" or "files".
std::string codecsMissing(const char* format, const char* files);

}  // namespace roughgc::detail
