#include "detail/io/map_encoders.h"

namespace roughgc::detail {

void encodeGreyBmp(const unsigned char*, size_t, int, int, std::vector<unsigned char>& out) { out.clear(); }
bool encodePng(const unsigned char*, size_t, int, int, int, std::vector<unsigned char>& out, std::string& why) {
    out.clear();
    why = "not yet";
    return false;
}

}  // namespace roughgc::detail
