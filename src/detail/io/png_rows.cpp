#include "detail/io/png_rows.h"

namespace roughgc::detail {

struct PngRows::State {};

PngRows::PngRows() : state_(std::make_unique<State>()) {}
PngRows::~PngRows() = default;
bool PngRows::start(ByteSource&, PngHeader&) { return false; }
bool PngRows::start(const unsigned char*, size_t, PngHeader&) { return false; }
bool PngRows::begin() { return false; }
bool PngRows::read(unsigned char*, size_t, size_t) { return false; }
bool PngRows::readImage(unsigned char*, size_t) { return false; }
bool PngRows::finish(int&, bool&) { return false; }
bool looksLikePng(const unsigned char* b, size_t n) { return n >= 8 && b[0] == 0x89 && b[1] == 'P'; }

}  // namespace roughgc::detail
