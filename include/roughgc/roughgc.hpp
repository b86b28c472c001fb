// RoughGC: rough contour maps of colour photographs, made on an NVIDIA GPU
// or, in the cpu build, on the machine's cores. Both give the same bytes.
//
//     roughgc::Extractor extractor;                      // one per thread
//     roughgc::Result r = extractor.extract(photo);      // any 8-bit cv::Mat
//     roughgc::writeMap("map.bmp", r.map);
//
// Images go in and out as OpenCV matrices, with any row step. Failures are
// exceptions: nothing here prints, exits, or writes outside the paths it is
// given.
#pragma once

#include <memory>
#include <opencv2/core.hpp>
#include <string>

#include "roughgc/errors.hpp"

namespace roughgc {

// The largest metric window: a map needs a photo at least 3 (window + 8)
// pixels a side, and the largest such photo still has fewer than 2^31 pixels.
inline constexpr int kMaxWindow = 15438;

// What the extraction aims for.
struct Params {
    int window = 7;          // metric window, in averaged pixels: 1 to kMaxWindow
    float dimension = 1.7f;  // the box-counting dimension the map should have
    float tolerance = 0.1f;  // how close to it the threshold search must come
};

// A rough contour map and what the threshold search found.
struct Result {
    // CV_8UC1, 0 where the photo is rough and 255 where it is smooth: for a
    // W x H photo, H/3 - window rows of W/3 - window bytes. Pixel (i, j)
    // stands for the 3 x 3 block at row i + window/2 and column
    // j + window/2 of the photo's 3 x 3 grid. Owned by the result.
    cv::Mat map;
    int quantileIndex = 0;  // the quantile table index of the final pass
    float threshold = 0;    // the metric threshold at that index
    int coarseBoxes = 0;    // occupied boxes of side 8 in the map
    int fineBoxes = 0;      // and of side 4
    float dimension = 0;    // the box-counting dimension estimate of the map
    int passes = 0;         // evaluation passes the search made, 1 to 12
    // Whether the search reached the target: the estimate lies within the
    // tolerance of the target dimension. A photo without enough texture
    // (one of flat colour, say) ends the search without reaching it; its
    // map is made all the same.
    bool converged = false;
};

// Makes rough contour maps, keeping its device buffers, page-locked host
// buffers and events from one photo to the next: they grow for a larger
// photo and are otherwise reused. One extractor serves one thread at a time;
// use one per thread (or per GPU). Its maps are byte for byte those of the
// roughgc tool.
class Extractor {
public:
    // Selects `device` and sets up; throws DeviceError if that fails (no
    // such device, no driver). The cpu build has one device, 0.
    explicit Extractor(int device = 0);
    ~Extractor();
    // What is moved from holds nothing: its extract and extractFile throw
    // std::logic_error, its device() is -1; it may be assigned a new one.
    Extractor(Extractor&&) noexcept;
    Extractor& operator=(Extractor&&) noexcept;

    // The map of `photo`: 8 bits per channel, with 3 channels (BGR), 1
    // (grey, taken as three equal channels) or 4 (BGRA, alpha ignored), any
    // row step: a region of interest gives exactly the map of the cropped
    // photo. Throws InputError, before any device work, for another type, a
    // size or window outside the limits (both sides at least 3 (window + 8),
    // at most 2^31 - 1 pixels and 3145679 rows) or a dimension or tolerance
    // that is not finite; DeviceError for a failed GPU call.
    Result extract(cv::InputArray photo, const Params& params = {});

    // extract(readPhoto(path), params)'s result, by the fastest route for
    // the file: its bytes and decoded pixels are kept from one photo to the
    // next, and, in the cpu build, a JPEG that needs no turning goes row by
    // row from the decoder into the first stage, never held whole. Throws
    // what readPhoto and extract throw, in that order.
    Result extractFile(const std::string& path, const Params& params = {});

    // extractFile, and the photo at its map's scale, as overlay() draws it
    // before painting (H/3 x W/3 CV_8UC3 block means), into `atMapScale`:
    // a streamed JPEG's rows are averaged as they pass, never held whole.
    // paintContours() then makes the overlay of the two.
    Result extractFile(const std::string& path, const Params& params, cv::OutputArray atMapScale);

    // The width and height of the photo that the last extractFile read,
    // also when extract refused it; empty when it could not be read.
    cv::Size photoSize() const noexcept;

    int device() const noexcept;

private:
    struct State;
    State& live();
    Result extractFile(const std::string& path, const Params& params, cv::Mat* atMapScale);
    std::unique_ptr<State> state_;
};

// What extracting a photo file will hold, known from its header before it
// is read, for a caller that bounds the memory of many photos at once.
struct Footprint {
    size_t inFlight = 0;   // held until the photo's map is made: decoded pixels or decoder state, and the map
    size_t extractor = 0;  // an Extractor's buffers for a photo of this size, kept after it
    bool known = false;    // false where no header tells the size (another format, a pipe, no file)
    cv::Size size;         // the photo's, as its header tells it; empty where not known
};

// The footprint of the photo at `path`, read by Extractor::extractFile (by
// its route: a streamed JPEG holds a band of rows, one turned on its side
// is decoded twice), or, `decodedAhead`, decoded whole by readPhoto first
// and given to Extractor::extract. Only a regular file is looked at, and
// only its start: a pipe is never opened.
Footprint photoFootprint(const std::string& path, bool decodedAhead);

// Whether extractions on several Extractors run at once, each on its
// caller's core (the cpu build); on a GPU the device takes one at a time.
bool extractionsRunInParallel();

// extract() with an extractor of its own, for one photo now and then.
Result roughContours(cv::InputArray photo, const Params& params = {}, int device = 0);

// The photo at `path` as the roughgc tool reads it: 8-bit BGR, grey and
// four-channel files taken as colour, EXIF orientation applied. Named pipes
// and character devices are read once, to their end (at most 1 GiB).
// Throws InputError ("(!) Error reading image: PATH") if the file is missing
// or not a readable image, std::bad_alloc if there is no memory to decode it.
cv::Mat readPhoto(const std::string& path);

// The same pixels, decoded into `photo`, whose memory is reused when its
// size and type already fit (as cv::Mat::create() reuses it). The file's
// bytes are kept per thread from one call to the next.
void readPhoto(const std::string& path, cv::OutputArray photo);

// Writes `map` (CV_8UC1, any row step) to `path`, in the format of its
// extension (".bmp" gives the roughgc tool's bytes), whole or not at all: on
// failure an earlier file at `path` is left as it was and no partial file
// remains. A symbolic link is followed and kept; a directory, pipe or device
// in the way is refused without being opened. Throws InputError for another
// type or an extension OpenCV cannot encode, WriteError when writing fails.
void writeMap(const std::string& path, cv::InputArray map);

// Writes `map` (CV_8UC1, any row step) as a 1-bit grey PNG, each 0 black
// and any other value white, whole or not at all as writeMap writes: for a
// map, whose pixels are 0 and 255, the same pixels in a several times
// smaller file. Throws InputError for another type, WriteError when writing
// fails.
void writeBilevelMap(const std::string& path, cv::InputArray map);

// Writes `picture` (CV_8UC3, BGR, any row step) as a baseline JPEG of
// `quality` (1 to 100), its colour at half the resolution both ways (4:2:0),
// the same bytes for the same pixels on every machine; whole or not at all
// as writeMap writes. Not `durable`: not flushed to the disk before it takes
// the name, for pictures cheaper to make again than to flush one by one (a
// crash of the machine, not of the process, may leave a partial file).
// Throws InputError for another type, WriteError when the encoder refuses
// the picture or writing fails.
void writeJpeg(const std::string& path, cv::InputArray picture, int quality = 90, bool durable = true);

// Writes `size` bytes to `path` whole or not at all, as writeMap writes a
// map's: on failure the file holds what it held before, also across a crash.
// Throws WriteError when writing fails.
void writeFileWhole(const std::string& path, const void* bytes, size_t size);

// The result as a picture: `photo` at its map's scale, with the map's rough
// pixels painted `color` where they lie. `out` becomes H/3 x W/3 CV_8UC3
// for a W x H photo (the rows and columns beyond the last whole 3 x 3 block
// left out), each pixel the mean of its 3 x 3 block, channel by channel,
// rounded half up with integers alone ((sum + 4) / 9), except that each
// pixel (i, j) of `result.map` that is 0 paints `color` over the pixel at
// (i + window/2, j + window/2). The window is not held by the result: it
// is H/3 - map rows, which W/3 - map columns must equal. `photo` is what
// extract() takes (8-bit BGR, grey or BGRA, alpha ignored, any row step),
// and `out` holds the same channels in the same order, grey as three equal
// ones; `color` is in that order too, each value saturated to 0 to 255.
// `out` may hold memory of the photo's or the map's: it is filled only once
// they have been read. Throws InputError for another photo type, a map
// that is not a non-empty CV_8UC1 matrix, or one that is not the map of a
// photo of this size for any window of at least 1.
void overlay(cv::InputArray photo, const Result& result, cv::OutputArray out,
             const cv::Scalar& color = cv::Scalar(0, 0, 255));

// overlay()'s painting alone, in place, over `picture`, the photo at its
// map's scale (CV_8UC3, (map rows + window) x (map columns + window), as
// extractFile gives it): each of the map's 0 pixels paints `color` at
// (i + window/2, j + window/2). Throws InputError for another type or size.
void paintContours(cv::InputOutputArray picture, const Result& result,
                   const cv::Scalar& color = cv::Scalar(0, 0, 255));

// Counts the elements of `values` (CV_32FC1, any row step) into `bins` bins
// of width (upper - lower) / bins on the device. The bins start at 0, not at
// lower: bin k holds the values v with k <= v / width < k + 1, and bin 0 also
// those with -1 < v / width < 0 and NaNs. `counts` becomes 1 x bins CV_32SC1;
// returns the number of values counted. Takes 1 to 2048 bins and at most
// 2^31 - 1 values in at most 2097119 rows; otherwise throws InputError.
int histogram(cv::InputArray values, cv::OutputArray counts, int bins, float lower, float upper, int device = 0);

// The fine contour stage: the metric quotient at full resolution at the
// pixels that a rough map marks.
//
// photo: H x W, 8-bit with 4 (BGRA, alpha unused), 3 or 1 channels.
// roughCells: (H/3 - 2) x (W/3 - 2), CV_8UC1 or CV_32FC1; a cell below 255
//   marks the 3 x 3 block of map pixels at rows 3y .. 3y + 2 and columns
//   3x .. 3x + 2 (row 0 and column 0 are never used). A rough map made with
//   window 2 has this shape.
// filterP, filterQ, filterR: k x k CV_32FC1 weights, all of one size k, the
//   window.
// marks: optional (H - k) x (W - k) CV_32FC1; a positive value marks a pixel
//   too.
// contours: becomes (H - k) x (W - k) CV_32FC1: at each marked pixel the
//   quotient of u = k (R - Q) and v = k (P - Q), P, Q and R being the feature
//   image (inverted colour on orthonormal axes, plus 20 times the pixel's row
//   and column) filtered with the three matrices over the window around it;
//   0 elsewhere. A quotient that is not a number is the NaN 0x7fffffff.
// Needs H and W of at least 6, k <= 6 + the smaller of H % 3 and W % 3,
// fewer than 2^31 pixels and H - k <= 1048559; throws InputError otherwise.
void fineContours(cv::InputArray photo, cv::InputArray roughCells, cv::InputArray filterP, cv::InputArray filterQ,
                  cv::InputArray filterR, cv::OutputArray contours, cv::InputArray marks = cv::noArray(),
                  int device = 0);

}  // namespace roughgc
