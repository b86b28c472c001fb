// The floor of a single run on a JPEG: a fresh process that only decodes it
// with libjpeg, as BGR rows, into a fresh buffer on huge pages, and exits.
//
//   roughgc_decode_floor PHOTO.jpg
#include <sys/mman.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>
// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>

namespace {

struct Errors {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void fail(j_common_ptr cinfo) { longjmp(reinterpret_cast<Errors*>(cinfo->err)->jump, 1); }

unsigned char* hugePages(size_t bytes) {
    constexpr size_t kHuge = size_t{2} << 20;
    const size_t length = (bytes + kHuge - 1) / kHuge * kHuge;
    void* raw = mmap(nullptr, length + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto* p = reinterpret_cast<unsigned char*>((reinterpret_cast<uintptr_t>(raw) + kHuge - 1) / kHuge * kHuge);
    madvise(p, length, MADV_HUGEPAGE);
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: roughgc_decode_floor PHOTO.jpg\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    if (file == nullptr) return 1;
    jpeg_decompress_struct cinfo;
    Errors errors;
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = fail;
    if (setjmp(errors.jump) != 0) return 1;
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    const size_t step = size_t{3} * cinfo.output_width;
    unsigned char* image = hugePages(step * cinfo.output_height);
    if (image == nullptr) return 1;
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = image + step * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(file);
    // A byte of the picture, so that nothing of the work can be left out.
    return image[step * cinfo.output_height / 2] == 0 ? 0 : 0;
}
