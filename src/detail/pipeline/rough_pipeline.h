// The rough contour pipeline, in the order one photo goes through it: size
// check, buffers, upload, averaging, metric, histogram and quantile table,
// threshold search, map download. Its buffers are kept from one photo to
// the next.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "detail/search/box_search.h"
#include "detail/device/device.h"
#include "detail/pipeline/schedule.h"
#include "detail/search/rough_host.h"
#include "detail/stages/rough_size.h"
#include "detail/stages/row_stages.h"

namespace roughgc::detail {

class StageTimes;

// A photo in host memory: `height` rows of `width` pixels of `channels`
// bytes (3: BGR, 1: grey, 4: BGRA), rows `step` bytes apart.
struct HostPhoto {
    const unsigned char* data;
    size_t step;
    size_t height, width;
    int channels;
};

// The map of the last run and what the search found. The pixels belong to
// the pipeline, valid until its next run.
struct RoughMapView {
    const unsigned char* pixels = nullptr;  // rows x cols, no padding: 0 rough, 255 smooth
    size_t rows = 0, cols = 0;
    int quantileIndex = 0;
    float threshold = 0;
    int coarseBoxes = 0, fineBoxes = 0;
    float dimension = 0;
    int passes = 0;
};

// How the threshold search evaluates a candidate: as the evaluation passes
// on the device (threshold the map, count its boxes: seven launches each),
// or by counting over box maxima taken once from the metric map. Both give
// the same indices, counts, estimates and map; the first is the reference.
enum class SearchRoute { EvaluationPasses, BoxMaxima };

class RoughPipeline {
public:
    // Selects `device`, loads the pipeline's kernels and creates its events
    // and fixed buffers. Throws std::invalid_argument for a schedule that
    // this build cannot run (the row loops on a GPU).
    explicit RoughPipeline(int device, Schedule schedule = defaultSchedule());
    RoughPipeline(const RoughPipeline&) = delete;
    RoughPipeline& operator=(const RoughPipeline&) = delete;

    // The map of `photo` with metric window `window`, searched toward
    // dimension dim within eps (taken as they are, NaN included). Throws
    // InputError, before anything else, for a size or window that
    // roughImageSizeProblem refuses; DeviceError for a failed runtime call,
    // after which the pipeline is ready for the next photo. A failed
    // allocation also gives back every buffer grown for earlier photos, so
    // that a smaller photo after one too large for the device still fits.
    // Marks each phase in `times`.
    const RoughMapView& run(const HostPhoto& photo, size_t window, float dim, float eps, SearchRoute route,
                            StageTimes* times = nullptr);
    // The same for a caller that has had the photo's size checked already:
    // `geometry` is the photo's.
    const RoughMapView& run(const HostPhoto& photo, const RoughGeometry& geometry, float dim, float eps,
                            SearchRoute route, StageTimes* times = nullptr);

    // Whether the stages can take a photo's rows as they are decoded (the
    // row schedule), for runStreamed.
    bool streamsRows() const { return schedule_ == Schedule::Rows; }
    Schedule schedule() const { return schedule_; }

    // run() on a photo of `geometry`'s size, BGR pixels that `rows` gives
    // top to bottom as they are decoded, never held whole. Null, with
    // nothing of the last map kept and nothing grown for this photo kept
    // either, if the rows cannot be read. Needs streamsRows.
    const RoughMapView* runStreamed(PhotoRowSource& rows, const RoughGeometry& geometry, float dim, float eps,
                                    SearchRoute route, StageTimes* times = nullptr);

    // The host memory a pipeline of `schedule` keeps for a photo of
    // `height` x `width` pixels, streamed or not.
    static size_t keptHostBytes(size_t height, size_t width, bool streamed,
                                Schedule schedule = defaultSchedule());

    int device() const { return device_.device; }

    // The bytes of the buffers sized by photos that the pipeline holds now.
    size_t heldBytes() const;

private:
    // Sized by the photos and grown with them; held together, so that a
    // failed allocation can give them all back at once.
    struct PhotoBuffers {
        DeviceArray<uchar3> photo;       // the photo, uploaded as BGR
        DeviceArray<float3> features;    // its averaged grid's feature points
        DeviceArray<float> metric;       // the metric map
        DeviceArray<uchar> binaryMap;    // the map at a threshold
        DeviceArray<uchar> coarseBoxes;  // the evaluation passes' box grids
        DeviceArray<uchar> fineBoxes;
        PinnedArray<uchar3> staging;        // grey or four-channel photos, as BGR
        PinnedArray<float> metricDownload;  // the metric map, downloaded
        PinnedArray<uchar> mapDownload;     // the final binary map, downloaded
    };

    // run() on a photo of a size already checked; with `rows`, the photo's
    // pixels come from there instead.
    const RoughMapView& runPhoto(const HostPhoto& photo, const RoughGeometry& g, float dim, float eps,
                                 SearchRoute route, StageTimes* times, PhotoRowSource* rows = nullptr);
    // Gives the buffers back after a failed allocation, for run() and
    // runStreamed() alike.
    template <class Run>
    const RoughMapView& guarded(Run run);

    // What each schedule makes of a photo: the metric map, its histogram
    // (hist_, counted_) and, for the count on box maxima, boxes_.
    // The row schedule, straight from the photo's pixels (or `rows`) into
    // host memory; false if the rows cannot be read.
    bool metricOnHost(const HostPhoto& photo, const RoughGeometry& g, bool boxes, PhotoRowSource* rows,
                      StageTimes* times);
    // The kernel schedule: upload, averaging and metric on the device, the
    // metric downloaded for the histogram and the box maxima.
    void metricOnDevice(const HostPhoto& photo, const RoughGeometry& g, bool boxes, StageTimes* times);
    void upload(const HostPhoto& photo);
    // The maps both schedules need, and the box grids of the passes.
    void reserveMaps(const RoughGeometry& g, bool passes, StageTimes* times);

    // The search on what the schedule made, and the final map in host
    // memory.
    SearchTrace search(const RoughGeometry& g, float dim, float eps, bool boxes, StageTimes* times);
    const unsigned char* finalMap(const RoughGeometry& g, const SearchTrace& trace, bool boxes, StageTimes* times);
    const RoughMapView& viewOf(const RoughGeometry& g, const SearchTrace& trace, const unsigned char* pixels);

    Schedule schedule_;
    SelectedDevice device_;  // what follows is made on this device
    Event stop_;  // ends each phase's check
    DeviceArray<float> deviceQuantiles_;
    DeviceArray<int> deviceCounts_;
    std::optional<PhotoBuffers> buf_;  // always engaged; reset() frees them all
    int hist_[kTableSize];
    int counted_ = 0;  // the values that the histogram counted
    float quantiles_[kTableSize];
    BoxMaxima boxes_;
    RoughMapView map_;
    std::vector<unsigned char> rows_;  // a streamed photo's band of rows
    bool rowsFailed_ = false;
};

}  // namespace roughgc::detail
