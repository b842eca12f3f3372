#include "split_point_cloud.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numeric>
#include <system_error>
#include <thread>

#include <sys/resource.h>
#include <sys/stat.h>

#include "common/parallel.hpp"
#include "common/ply.hpp"
#include "common/progress.hpp"
#include "common/random.hpp"
#include "common/rect_index.hpp"

namespace larkspan::split_point_cloud {

// ---- Config JSON ----

Result<Config> config_from_json(std::string_view text) {
    auto config = json::decode<Config>(text);
    if (!config) return fail(config.error().prefixed("JSON parse error: "));
    return config;
}

Result<Config> config_from_file(const std::string& path) {
    auto text = io::read_file(path);
    if (!text) return fail(text.error().as(ErrorKind::Os, "File read error: "));
    if (!io::is_valid_utf8(*text))
        return fail(io::invalid_utf8_error().as(ErrorKind::Os, "File read error: "));
    return config_from_json(*text);
}

std::string config_to_json(const Config& config) { return json::encode(config); }

namespace {

// The pass reads windows of this size, small enough that a window stays in
// the cores' caches while its records are kept, found and encoded.
constexpr std::size_t kWriteWindowBytes = std::size_t{1} << 20;
// No more records are placed at once than this (their lists take about 6 MB).
constexpr std::uint64_t kMaxStretchRecords = std::uint64_t{1} << 19;
// The most patch files written at once, in one group.
constexpr std::uint64_t kMostOpenPatches = 512;
// The shortest stretch, 64 points, fits whatever the patches: it is never cut.
static_assert(64 * kMostOpenPatches <= kMaxStretchRecords);
// Windows between reading and writing at once: one window's points are
// found in their patches, piece by piece on the pool, while the window
// before it is written, patch by patch on the pool. More windows in flight
// only push each other out of the cores' caches before they are written
// (four cost about 5% more processor time than two).
constexpr std::size_t kWindowsInFlight = 2;
// Each open patch file collects its records of several windows in a buffer
// of its own and writes it whole when it is full: writes that cover whole
// pages of the page cache. The buffers of a group share this much, each
// between the two bounds: little enough that they stay in the shared cache
// while they fill, so neither the encoding nor the kernel's copy out of them
// waits for memory. The files still reserve their blocks in large runs (see
// io::File::reserve_next).
constexpr std::size_t kPatchBuffersBytes = std::size_t{8} << 20;
constexpr std::size_t kMinPatchBufferBytes = std::size_t{64} << 10;
constexpr std::size_t kMaxPatchBufferBytes = std::size_t{1} << 20;


// Refusals of the header's content stay ValueErrors; everything else is a
// failure to read the file.
// The index of the patches' rectangles (defined with the assignment step).
RectIndex index_of(const std::vector<Patch>& patches);

Error read_error(const Error& cause) {
    return cause.as(cause.kind == ErrorKind::Value ? ErrorKind::Value : ErrorKind::Os, "PLY read error: ");
}

}  // namespace

// ---- step 1: read_point_cloud ----

namespace {

// The colour byte of a channel property: the byte itself, or the high byte of
// a little-endian 16-bit value.
Result<std::uint64_t> colour_byte(const ply::LocatedProperty& property) {
    switch (property.type) {
        case ply::Type::UInt8: return property.offset;
        case ply::Type::UInt16: return property.offset + 1;
        default:
            return fail(Error::value("PLY read error: the colour property \"" + property.name +
                                     "\" has a type other than uchar or ushort"));
    }
}

}  // namespace

Result<RecordLayout> record_layout(const ply::VertexLayout& vertex, const std::string& path) {
    RecordLayout layout;
    layout.record_size = vertex.record_size;
    const std::pair<const char*, ply::Field*> coordinates[] = {
        {"x", &layout.x}, {"y", &layout.y}, {"z", &layout.z}};
    for (const auto& [name, field] : coordinates) {
        auto found = ply::require_field(vertex, name, path);
        if (!found) return fail(found.error().prefixed("PLY read error: "));
        *field = *found;
    }
    // When several properties name one channel ("r" and "red"), the last wins.
    for (const auto& property : vertex.properties) {
        std::optional<std::uint64_t>* channel =
            property.name == "r" || property.name == "red"     ? &layout.red
            : property.name == "g" || property.name == "green" ? &layout.green
            : property.name == "b" || property.name == "blue"  ? &layout.blue
                                                               : nullptr;
        if (channel == nullptr) continue;
        auto byte = colour_byte(property);
        if (!byte) return fail(byte.error());
        *channel = *byte;
    }
    return layout;
}

namespace {

// The height range, then the random share, decide which vertices are kept.
class PointFilter {
public:
    explicit PointFilter(const Config& config)
        : min_z_(config.min_z),
          max_z_(config.max_z),
          mode_(config.sample_percentage >= 100 ? Mode::KeepAll
                : config.sample_percentage > 0  ? Mode::Sample
                                                : Mode::KeepNone),  // 0, negative or NaN
          share_(config.sample_percentage / 100) {}

    bool in_height_range(double z) const { return min_z_ <= z && z < max_z_; }

    // Which of the points marked in `in_range` (bit i: point i of a word
    // passed the height test) are kept: one draw per marked point, in order,
    // and only when sampling, from the generator of the thread that asks.
    // A draw u in [0, 1) keeps its point when u < share.
    Result<std::uint64_t> sampled(std::uint64_t in_range, random::SecureDraws& draws) const {
        switch (mode_) {
            case Mode::KeepAll: return in_range;
            case Mode::KeepNone: return 0;
            case Mode::Sample: break;
        }
        std::array<std::uint64_t, 64> drawn;
        const auto n = static_cast<std::size_t>(std::popcount(in_range));
        if (auto made = draws.next_n(std::span(drawn.data(), n)); !made) return fail(made.error());
        std::uint64_t kept = 0;
        std::size_t k = 0;
        for (std::uint64_t bits = in_range; bits != 0; bits &= bits - 1, ++k) {
            const double u = static_cast<double>(drawn[k] >> 11) * 0x1p-53;
            kept |= std::uint64_t{u < share_} << std::countr_zero(bits);
        }
        return kept;
    }

private:
    enum class Mode { KeepAll, Sample, KeepNone };
    double min_z_, max_z_;
    Mode mode_;
    double share_;
};

// Marks the kept vertices among [first, last) of the window and returns how
// many there are; `first` is a multiple of 64. Each word of the kept set is
// decided at once: the height test of its points gathered in a register
// without branches (the points cut by the range lie anywhere), then their
// draws.
template <bool kFloat32>
Result<std::uint64_t> keep_points(std::vector<std::uint64_t>& kept, const ply::Field& z_field,
                                  const io::Window& window, std::uint64_t first, std::uint64_t last,
                                  const PointFilter& filter) {
    std::uint64_t count = 0;
    auto& draws = random::thread_draws();
    for (std::uint64_t word = first / 64; word * 64 < last; ++word) {
        const std::uint64_t to = std::min(last, word * 64 + 64);
        std::uint64_t in_range = 0;
        for (std::uint64_t v = word * 64; v < to; ++v) {
            const double z = ply::read_field<kFloat32>(window.record(v - window.first), z_field);
            in_range |= std::uint64_t{filter.in_height_range(z)} << (v % 64);
        }
        auto bits = filter.sampled(in_range, draws);
        if (!bits) return fail(bits.error());
        kept[word] = *bits;
        count += static_cast<std::uint64_t>(std::popcount(*bits));
    }
    return count;
}

// How many pieces each window's work is split into: a few per thread
// whatever its size, as the windows are small.
std::size_t window_pieces() { return 2 * std::max(1u, std::thread::hardware_concurrency()); }

// Piece k of `pieces` of the vertices [first, last), `first` a multiple of
// 64: the pieces start at multiples of 64, so no two share a word of the
// kept set. A piece may be empty.
std::pair<std::uint64_t, std::uint64_t> piece_of(std::uint64_t first, std::uint64_t last, std::size_t k,
                                                 std::size_t pieces) {
    const std::uint64_t span = last - first;
    const std::uint64_t from = first + span * k / pieces / 64 * 64;
    const std::uint64_t to = k + 1 == pieces ? last : first + span * (k + 1) / pieces / 64 * 64;
    return {from, to};
}

// The vertex block must fit in what the file holds after its header; a count
// the file cannot hold fails here, before anything is sized from it. For
// files of unknown size the block is sized from the count, and a block that
// cannot be read fails when it is.
Status require_vertex_block(io::File& file, const ply::PlyHeader& header, std::uint64_t block_size) {
    struct stat info {};
    if (::fstat(file.fd(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const std::uint64_t available = size > header.header_size ? size - header.header_size : 0;
    if (block_size > available) return fail(io::short_read_error());
    return {};
}

void print_sampled_line(double percentage, std::uint64_t kept) {
    char line[512];
    std::snprintf(line, sizeof line, "Sampled %.1f%%: %llu points\n", percentage,
                  static_cast<unsigned long long>(kept));
    io::print(line);
}

}  // namespace

Result<Cloud> read_point_cloud(const Config& config) {
    if (config.patches.size() > UINT32_MAX) panic("more patches than the grid can number");
    auto file = io::open_read(config.input_file);
    if (!file) return fail(read_error(file.error()));
    io::BufferedReader reader(*file);
    auto header = ply::read_ply_header(reader, {.require_end_header = true, .bad_count = std::nullopt});
    if (!header) return fail(read_error(header.error()));
    if (auto format = ply::require_binary_little_endian(*header); !format)
        return fail(read_error(format.error().as(ErrorKind::Os)));
    auto vertex = ply::vertex_layout(*header);
    if (!vertex) return fail(read_error(vertex.error()));
    Cloud cloud;
    auto layout = record_layout(*vertex, config.input_file);
    if (!layout) return fail(layout.error());
    cloud.layout = *layout;

    const std::uint64_t count = header->vertex_count;
    std::uint64_t block_size = 0;
    if (__builtin_mul_overflow(count, cloud.layout.record_size, &block_size))
        return fail(read_error(io::short_read_error()));  // no file holds that much
    if (auto held = require_vertex_block(*file, *header, block_size); !held)
        return fail(read_error(held.error()));
    cloud.body_offset = header->header_size;
    cloud.vertex_count = count;
    try {
        cloud.kept.assign(count / 64 + 1, 0);
    } catch (const std::bad_alloc&) {
        return fail(read_error(Error::os("not enough memory to mark " + std::to_string(count) +
                                         " vertices")));
    }
    cloud.file = std::make_shared<const io::File>(std::move(*file));
    return cloud;
}

// ---- step 2: assign_points_to_patches ----

namespace {

RectIndex index_of(const std::vector<Patch>& patches) {
    std::vector<Rect> rects;
    rects.reserve(patches.size());
    for (const Patch& p : patches) rects.push_back({p.min_x, p.min_y, p.max_x, p.max_y});
    return RectIndex(rects);
}

}  // namespace

// Which kept points go to which patches is found as the writer passes over
// the records, so what is left of the assignment is its bar, after one poll
// for interrupts.
Status assign_points_to_patches(std::uint64_t kept_count, const InterruptPoll& interrupted) {
    progress::ProgressBar bar(kept_count);
    bar.set_style(progress::Template::CountAndRate);
    bar.set_message("Assigning to patches");
    if (auto raised = interrupted())
        return fail(Error{ErrorKind::Interrupted, "Assignment error: Signal check failed: " + *raised, 0});
    bar.set_position(kept_count);
    bar.finish_with_message("Assignment complete");
    return {};
}

// ---- step 3: write_patches ----

void encode_point_record(char* out, std::uint64_t id, const CloudPoint& p) {
    colmap::encode_point3d_head(
        out, id, {static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z)},
        {p.red, p.green, p.blue}, -1.0, 0);
}

namespace detail {

namespace {

// Enough writers to keep the cores and the disk busy, never one per patch:
// thousands of patches must not mean thousands of threads.
std::size_t writer_thread_count(std::size_t patch_count) {
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    return std::min(patch_count, std::clamp<std::size_t>(cores, 2, 16));
}

// State shared by the writing threads and the calling thread. The threads
// own it with the calling thread, so it outlives a call that stops waiting
// for them.
struct WriterPool final : WriterReport {
    WriterPool(std::size_t patch_count, WritingJob job) : job(std::move(job)), outcomes(patch_count) {}

    void done(std::size_t patch, WriterOutcome outcome) override {
        {
            std::lock_guard lock(mutex);
            if (outcomes[patch].kind != WriterOutcome::Kind::Pending) return;
            outcomes[patch] = std::move(outcome);
            ++completed_patches;
        }
        changed.notify_all();
    }

    // After a job threw: what it did not report ended abnormally.
    void abandon_pending() {
        for (std::size_t patch = 0; patch < outcomes.size(); ++patch) {
            WriterOutcome outcome;
            outcome.kind = WriterOutcome::Kind::Abnormal;
            done(patch, std::move(outcome));
        }
    }

    const std::atomic<bool>& stop() const override { return stopped; }

    void extracting(std::uint64_t vertices) override {
        vertices_extracted.fetch_add(vertices, std::memory_order_relaxed);
    }

    bool extracted(Result<std::uint64_t> kept) override {
        std::unique_lock lock(mutex);
        if (extraction != Extraction::Running) return false;
        if (kept) {
            extraction = Extraction::Done;
            kept_count = *kept;
        } else {
            extraction = Extraction::Failed;
            extraction_error = std::move(kept.error());
        }
        changed.notify_all();
        if (extraction == Extraction::Failed) return false;
        changed.wait(lock, [&] { return writing_allowed || stopped.load(std::memory_order_relaxed); });
        return !stopped.load(std::memory_order_relaxed);
    }

    // A job that ended, normally or not, without ending its extraction has
    // failed it: the calling thread must not wait for it.
    void end_extraction() {
        std::lock_guard lock(mutex);
        if (extraction != Extraction::Running) return;
        extraction = Extraction::Failed;
        extraction_error = Error::runtime("Thread join failed");
        changed.notify_all();
    }

    void request_stop() {
        {
            std::lock_guard lock(mutex);
            stopped.store(true, std::memory_order_relaxed);
        }
        changed.notify_all();
    }

    void allow_writing() {
        {
            std::lock_guard lock(mutex);
            writing_allowed = true;
        }
        changed.notify_all();
    }

    const WritingJob job;
    std::atomic<bool> stopped{false};  // set on an interrupt: the job gives up
    std::mutex mutex;  // guards everything below but the vertex count
    std::condition_variable changed;
    std::vector<WriterOutcome> outcomes;
    std::uint64_t completed_patches = 0;
    std::atomic<std::uint64_t> vertices_extracted{0};
    enum class Extraction { Running, Done, Failed } extraction = Extraction::Running;
    std::uint64_t kept_count = 0;
    Error extraction_error;
    bool writing_allowed = false;
};

WriterOutcome run_one(const PatchWriter& write_one, std::size_t patch,
                      const std::atomic<bool>& stop) {
    WriterOutcome outcome;
    try {
        auto written = write_one(patch, stop);
        if (written) {
            outcome.kind = WriterOutcome::Kind::Written;
            outcome.points = *written;
        } else {
            outcome.kind = WriterOutcome::Kind::Failed;
            outcome.error = std::move(written.error());
        }
    } catch (...) {
        outcome.kind = WriterOutcome::Kind::Abnormal;
    }
    return outcome;
}

void run_job(const std::shared_ptr<WriterPool>& pool) {
    try {
        pool->job(*pool);
    } catch (...) {
        pool->abandon_pending();
    }
    pool->end_extraction();
}

// The writing threads, joined before the call returns whatever happens: no
// file is written after the caller has its result.
class WriterThreads {
public:
    WriterThreads() = default;
    WriterThreads(const WriterThreads&) = delete;
    WriterThreads& operator=(const WriterThreads&) = delete;
    ~WriterThreads() { join_all(); }

    void start(std::size_t count, const std::shared_ptr<WriterPool>& pool) {
        try {
            for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([pool] { run_job(pool); });
        } catch (const std::system_error& e) {
            panic("failed to spawn thread: " + io::os_error_text(e.code().value()));
        }
    }

    void join_all() {
        for (auto& thread : threads_)
            if (thread.joinable()) thread.join();
    }

private:
    std::vector<std::thread> threads_;
};

}  // namespace

namespace {

// The extraction as the calling thread shows it while the job's first pass
// runs: its bar, polled and moved every 100 ms, then its line and the
// assignment step. Returns the number of kept points; the job writes on only
// once it has been told to.
Result<std::uint64_t> show_extraction(WriterPool& pool, WriterThreads& writers, const ExtractionShown& shown,
                                      const InterruptPoll& interrupted) {
    auto stop = [&](Error error) -> Result<std::uint64_t> {
        pool.request_stop();
        writers.join_all();
        return fail(std::move(error));
    };
    progress::ProgressBar bar(shown.vertex_count);
    bar.set_style(progress::Template::CountAndRate);
    bar.set_message("Extracting points");
    for (;;) {
        if (auto raised = interrupted())
            return stop(Error{ErrorKind::Interrupted, "PLY read error: " + *raised, 0});
        std::unique_lock lock(pool.mutex);
        if (pool.extraction == WriterPool::Extraction::Failed) {
            Error failed = pool.extraction_error;
            lock.unlock();
            return stop(std::move(failed));
        }
        if (pool.extraction == WriterPool::Extraction::Done) break;
        lock.unlock();
        bar.set_position(pool.vertices_extracted.load(std::memory_order_relaxed));
        lock.lock();
        pool.changed.wait_for(lock, std::chrono::milliseconds(100),
                              [&] { return pool.extraction != WriterPool::Extraction::Running; });
    }
    const std::uint64_t kept = pool.kept_count;  // written before Done, under the lock
    bar.set_position(shown.vertex_count);
    bar.finish_with_message("Extraction complete");
    if (shown.sample_percentage < 100) print_sampled_line(shown.sample_percentage, kept);
    if (auto assigned = assign_points_to_patches(kept, interrupted); !assigned) return stop(assigned.error());
    pool.allow_writing();
    return kept;
}

}  // namespace

Result<SplitCounts> run_writing(std::size_t patch_count, std::size_t threads, WritingJob job,
                                const InterruptPoll& interrupted, std::optional<ExtractionShown> extraction) {
    auto pool = std::make_shared<WriterPool>(patch_count, std::move(job));
    WriterThreads writers;
    // Extracting takes a job even without patches.
    writers.start(patch_count == 0 && !extraction ? 0 : std::max<std::size_t>(threads, 1), pool);
    std::uint64_t kept = 0;
    if (extraction) {
        auto shown = show_extraction(*pool, writers, *extraction, interrupted);
        if (!shown) return fail(shown.error());
        kept = *shown;
    }

    progress::ProgressBar bar(patch_count);
    bar.set_style(progress::Template::Count);
    bar.set_message("Writing patches");
    // Monitor: poll, show the count, and wait up to 100 ms for it to change.
    std::uint64_t shown = 0;
    for (;;) {
        if (auto raised = interrupted()) {
            pool->request_stop();
            writers.join_all();
            return fail(Interrupts::interrupted_error(*raised));
        }
        std::unique_lock lock(pool->mutex);
        const std::uint64_t done = pool->completed_patches;
        lock.unlock();
        if (done > shown) {
            bar.set_position(done);
            shown = done;
        }
        if (done >= patch_count) break;
        lock.lock();
        pool->changed.wait_for(lock, std::chrono::milliseconds(100),
                               [&] { return pool->completed_patches != done; });
    }
    bar.finish_with_message("Writing complete");
    writers.join_all();

    SplitCounts counts;
    counts.points_loaded = kept;
    for (const WriterOutcome& outcome : pool->outcomes) {
        switch (outcome.kind) {
            case WriterOutcome::Kind::Written:
                counts.total_points_written += outcome.points;
                ++counts.patches_written;
                break;
            case WriterOutcome::Kind::Failed: return fail(outcome.error);
            case WriterOutcome::Kind::Abnormal: return fail(Error::runtime("Thread join failed"));
            case WriterOutcome::Kind::Pending: panic("a writer finished without an outcome");
        }
    }
    return counts;
}

Result<SplitCounts> run_writers(std::size_t patch_count, PatchWriter write_one,
                                const InterruptPoll& interrupted) {
    auto next_patch = std::make_shared<std::atomic<std::size_t>>(0);
    WritingJob job = [write_one = std::move(write_one), next_patch, patch_count](WriterReport& report) {
        for (;;) {
            if (report.stop().load(std::memory_order_relaxed)) return;
            const std::size_t patch = next_patch->fetch_add(1);
            if (patch >= patch_count) return;
            report.done(patch, run_one(write_one, patch, report.stop()));
        }
    };
    return run_writing(patch_count, writer_thread_count(patch_count), std::move(job), interrupted);
}

}  // namespace detail

namespace {

// How many patch files are open at once: well inside the process's limit on
// open files. More patches take more passes over the records.
std::size_t open_file_budget() {
    struct rlimit limit {};
    std::uint64_t allowed = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) allowed = limit.rlim_cur;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(allowed / 2, 16, kMostOpenPatches));
}

// A patch file being written, under a temporary name until its last record:
// its records go out through a buffer of its own.
struct PatchOutput {
    std::optional<io::Output> output;
    std::optional<io::BufferedWriter> writer;  // of output's file
    std::uint64_t encoded = 0;  // records placed in the file or the buffer
    bool failed = false;
};

// Each open patch file's buffer: a power of two, so that every write but a
// file's last covers whole pages of the page cache (see io::BufferedWriter).
std::size_t patch_buffer_bytes(std::size_t patches) {
    const std::size_t share = kPatchBuffersBytes / std::max<std::size_t>(patches, 1);
    return std::bit_floor(std::clamp(share, kMinPatchBufferBytes, kMaxPatchBufferBytes));
}

// What the writing thread reads and decides, owned by it: it lives until the
// writing ends, even when the call has already failed. The records are read
// front to back, window by window; in each window the points are kept (in
// the first pass only), the kept points found in their patches, sorted by
// patch, and each patch's encoded into its buffer. As many patch files are
// written at once as may be open; more patches take more passes.
struct WriteJob {
    WriteJob(Cloud cloud, const Config& config)
        : file(std::move(cloud.file)),
          body_offset(cloud.body_offset),
          vertex_count(cloud.vertex_count),
          layout(cloud.layout),
          xyz_float32(layout.x.type == ply::Type::Float32 && layout.y.type == ply::Type::Float32 &&
                      layout.z.type == ply::Type::Float32),
          filter(config),
          kept(std::move(cloud.kept)),
          patches(config.patches) {}

    void run(detail::WriterReport& report) {
        auto records = io::RecordReader::create(*file, body_offset, layout.record_size, vertex_count,
                                                kWriteWindowBytes, 64);
        if (!records) {
            report.extracted(fail(read_error(records.error())));
            return;
        }
        std::vector<std::size_t> all(patches.size());
        std::iota(all.begin(), all.end(), std::size_t{0});
        const std::size_t budget = open_file_budget();
        // A cloud without patches is still read once, to count its kept points.
        const std::size_t groups = std::max<std::size_t>(1, (all.size() + budget - 1) / budget);
        for (std::size_t g = 0; g < groups; ++g) {
            if (report.stop().load(std::memory_order_relaxed)) return;
            const std::size_t begin = g * budget;
            const std::span<const std::size_t> group(all.data() + begin,
                                                     std::min(budget, all.size() - begin));
            if (!write_group(report, *records, group)) return;
        }
    }

private:
    const std::shared_ptr<const io::File> file;
    const std::uint64_t body_offset, vertex_count;
    const RecordLayout layout;
    const bool xyz_float32;  // x, y and z are 4-byte floats: read without a type switch
    const PointFilter filter;
    std::vector<std::uint64_t> kept;  // decided by the first pass
    std::uint64_t kept_count = 0;
    bool extracted = false;  // the first pass is over: `kept` is decided
    const std::vector<Patch> patches;

    // Keeps the window's points, on the pool: the first pass's share of the
    // extraction. Returns how many it kept; fails when the random source does.
    Result<std::uint64_t> keep_window(const io::Window& window) {
        const std::size_t pieces = window_pieces();
        std::vector<Result<std::uint64_t>> kept_in_piece(pieces, 0);
        parallel_for_each(pieces, [&](std::size_t k) {
            const auto [from, to] = piece_of(window.first, window.first + window.count, k, pieces);
            if (from >= to) return;
            kept_in_piece[k] = xyz_float32 ? keep_points<true>(kept, layout.z, window, from, to, filter)
                                           : keep_points<false>(kept, layout.z, window, from, to, filter);
        });
        std::uint64_t total = 0;
        for (const auto& count : kept_in_piece) {
            if (!count) return fail(count.error());
            total += *count;
        }
        return total;
    }

    // A counting pass's visit of a window starts by keeping its points, when
    // it is the first pass.
    Status extract(detail::WriterReport& report, const io::Window& window) {
        if (extracted) return {};
        auto kept_now = keep_window(window);
        if (!kept_now) return fail(kept_now.error());
        kept_count += *kept_now;
        report.extracting(window.count);
        return {};
    }

    // Ends the first pass: reports its kept count, or its failure, and waits
    // until writing may go on. False when the job is to stop.
    bool end_extraction(detail::WriterReport& report, Status pass) {
        if (!pass) {
            if (!report.stop().load(std::memory_order_relaxed)) report.extracted(fail(read_error(pass.error())));
            return false;
        }
        extracted = true;
        return report.extracted(kept_count);
    }

    static detail::WriterOutcome written(std::uint64_t points) {
        detail::WriterOutcome outcome;
        outcome.kind = detail::WriterOutcome::Kind::Written;
        outcome.points = points;
        return outcome;
    }
    static detail::WriterOutcome failed(const Error& error) {
        detail::WriterOutcome outcome;
        outcome.kind = detail::WriterOutcome::Kind::Failed;
        outcome.error = error.as(ErrorKind::Os, "Write error: ");
        return outcome;
    }

    // Creates the patch's file with its count, or with room for it when the
    // count is not known yet.
    Status open_patch(std::size_t j, PatchOutput& out, std::optional<std::uint64_t> count) const {
        const std::string& path = patches[j].output_file;
        if (auto made = io::create_parent_directories(path); !made) return made;
        auto output = io::Output::create(path);
        if (!output) return fail(output.error());
        out.output.emplace(std::move(*output));
        out.writer.emplace(out.output->file(),
                           patch_buffer_bytes(std::min<std::size_t>(patches.size(), open_file_budget())));
        const std::uint64_t head = count.value_or(0);
        if (auto w = out.writer->write_value(head); !w) return w;
        return {};
    }

    // A (slot, vertex in the window) pair in one word, which halves the
    // lists that the search writes and the sort reads.
    static constexpr unsigned kVertexBits = 20;
    static constexpr std::uint32_t kVertexMask = (std::uint32_t{1} << kVertexBits) - 1;
    static_assert(kWriteWindowBytes <= (std::size_t{1} << kVertexBits), "a window's vertices fit the vertex bits");
    static_assert(kMostOpenPatches <= (std::uint64_t{1} << (32 - kVertexBits)), "a group's slots fit the slot bits");
    static std::uint32_t member_of(std::uint32_t slot, std::uint32_t v) { return slot << kVertexBits | v; }

    // The kept points of a stretch of vertices, found in their patches:
    // `found[k]` lists piece k's (slot, vertex) pairs in vertex order, and
    // `order` all vertices slot by slot, slot s's from `start[s]` on.
    struct Stretch {
        explicit Stretch(std::size_t pieces) : found(pieces), at(pieces) {}

        std::vector<std::vector<std::uint32_t>> found;  // member_of(slot, vertex) values
        std::vector<std::vector<std::uint64_t>> at;  // per piece: its count, then next place, of each slot
        std::vector<std::uint64_t> start;
        std::vector<std::uint32_t> order;
    };

    // Finds the kept points of vertices [first, last) in the group's patches,
    // on the pool, piece by piece in vertex order. Returns how many
    // (patch, point) pairs there are, or more than kMaxStretchRecords when
    // there are: then it stops early, its lists incomplete, so that they
    // never grow much beyond that bound.
    std::uint64_t find_members(Stretch& st, const io::Window& window, std::uint64_t first,
                               std::uint64_t last, const RectIndex& grid,
                               const std::vector<std::uint32_t>& slot_of, std::size_t slots) const {
        constexpr std::uint32_t kNotInGroup = UINT32_MAX;
        const std::size_t pieces = st.found.size();
        std::atomic<std::uint64_t> members{0};
        parallel_for_each(pieces, [&](std::size_t k) {
            auto& found = st.found[k];
            auto& count = st.at[k];
            found.clear();
            count.assign(slots, 0);
            const auto [from, to] = piece_of(first, last, k, pieces);
            // The kept points of one word of the set: their grid cells are
            // all requested before the first is looked up.
            struct Point {
                std::uint32_t v;  // in the window
                double x, y;
                std::size_t cell;
            };
            std::array<Point, 64> word_points;
            for (std::uint64_t word = from / 64; word < (to + 63) / 64; ++word) {
                std::size_t n = 0;
                for (std::uint64_t bits = kept[word]; bits != 0; bits &= bits - 1) {
                    const std::uint64_t v = word * 64 + static_cast<std::uint64_t>(__builtin_ctzll(bits));
                    if (v < from || v >= to) continue;
                    const char* record = window.record(v - window.first);
                    const double x = xyz_float32 ? ply::read_field<true>(record, layout.x)
                                                 : ply::read_field<false>(record, layout.x);
                    const double y = xyz_float32 ? ply::read_field<true>(record, layout.y)
                                                 : ply::read_field<false>(record, layout.y);
                    const std::size_t cell = grid.cell_of(x, y);
                    grid.prefetch(cell);
                    word_points[n++] = {static_cast<std::uint32_t>(v - window.first), x, y, cell};
                }
                const std::size_t before = found.size();
                for (const Point& p : std::span(word_points.data(), n)) {
                    const auto [candidates, certain] = grid.lookup_cell(p.cell);
                    for (std::size_t i = 0; i < candidates.size(); ++i) {
                        const std::uint32_t j = candidates[i];
                        const std::uint32_t slot = slot_of[j];
                        if (slot == kNotInGroup) continue;
                        if (((certain >> i) & 1) == 0 && !patches[j].contains(p.x, p.y)) continue;
                        found.push_back(member_of(slot, p.v));
                        ++count[slot];
                    }
                }
                const std::uint64_t added = found.size() - before;
                if (members.fetch_add(added, std::memory_order_relaxed) + added > kMaxStretchRecords) return;
            }
        });
        return members.load(std::memory_order_relaxed);
    }

    // Sorts the stretch's vertices by slot into `order`, each piece's after
    // those of the earlier pieces, on the pool.
    static void order_members(Stretch& st, std::size_t slots) {
        const std::size_t pieces = st.found.size();
        st.start.assign(slots + 1, 0);
        for (std::size_t s = 0; s < slots; ++s) {
            std::uint64_t next = st.start[s];
            for (std::size_t k = 0; k < pieces; ++k) next += std::exchange(st.at[k][s], next);
            st.start[s + 1] = next;
        }
        st.order.resize(st.start[slots]);
        parallel_for_each(pieces, [&](std::size_t k) {
            auto& at = st.at[k];
            for (const std::uint32_t member : st.found[k]) st.order[at[member >> kVertexBits]++] = member & kVertexMask;
        });
    }

    // Encodes slot s's records of the stretch in order, ids continuing the
    // patch's count, and adds them to its file. Records are encoded a few
    // dozen at a time into a small buffer that stays in the core's cache.
    Status append_members(const Stretch& st, const io::Window& window, std::size_t s, PatchOutput& out) const {
        constexpr std::size_t kBatch = 64;
        std::array<char, kBatch * kPointRecordSize> batch;
        const std::span<const std::uint32_t> vertices(st.order.data() + st.start[s], st.start[s + 1] - st.start[s]);
        for (std::size_t i = 0; i < vertices.size(); i += kBatch) {
            const std::size_t n = std::min(kBatch, vertices.size() - i);
            // The batch's records lie anywhere in the window, often in the
            // other core's cache: all are requested before the first is read.
            for (std::size_t b = 0; b < n; ++b) __builtin_prefetch(window.record(vertices[i + b]));
            for (std::size_t b = 0; b < n; ++b) {
                const char* record = window.record(vertices[i + b]);
                encode_point_record(batch.data() + b * kPointRecordSize, out.encoded + i + b + 1,
                                    xyz_float32 ? point_at<true>(record, layout) : point_at<false>(record, layout));
            }
            if (auto w = out.writer->write(batch.data(), n * kPointRecordSize); !w) return w;
        }
        out.encoded += vertices.size();
        return {};
    }

    // How many points each patch of the group receives: a pass over the
    // records that only finds them (and keeps them, when it is the first).
    // Needed only by an output that cannot be rewritten at its start.
    Result<PatchCounts> count_group(detail::WriterReport& report, io::RecordReader& records,
                                    const RectIndex& grid, const std::vector<std::uint32_t>& slot_of,
                                    std::size_t slots) {
        PatchCounts counts(slots, 0);
        Stretch st(window_pieces());
        auto counted = records.for_each(io::Order::Forward, [&](const io::Window& window) -> Status {
            if (report.stop().load(std::memory_order_relaxed)) return fail(Error::os("stopped"));
            if (auto kept_now = extract(report, window); !kept_now) return kept_now;
            find_members(st, window, window.first, window.first + window.count, grid, slot_of, slots);
            for (const auto& row : st.at)
                for (std::size_t s = 0; s < slots; ++s) counts[s] += row[s];
            return {};
        });
        if (!counted) return fail(counted.error());
        return counts;
    }

    // Writes the group's patches in one pass over the records: a patch's
    // file is created with its first point, its count written last unless
    // some output of the group is a stream, which needs it first. The first
    // pass of the job keeps the points too, and no file is put in place
    // before the caller has shown that step's end. False when the job is to
    // stop.
    bool write_group(detail::WriterReport& report, io::RecordReader& records,
                     std::span<const std::size_t> group) {
        auto nothing_kept = [&] {  // no file is created or touched
            for (const std::size_t j : group) report.done(j, written(0));
            return true;
        };
        if (extracted && kept_count == 0) return nothing_kept();
        constexpr std::uint32_t kNotInGroup = UINT32_MAX;
        std::vector<std::uint32_t> slot_of(patches.size(), kNotInGroup);
        for (std::size_t s = 0; s < group.size(); ++s) slot_of[group[s]] = static_cast<std::uint32_t>(s);
        const RectIndex grid = index_of(patches);
        std::optional<PatchCounts> counts;
        if (std::ranges::any_of(group, [&](std::size_t j) { return io::is_stream(patches[j].output_file); })) {
            const bool first_pass = !extracted;
            auto counted = count_group(report, records, grid, slot_of, group.size());
            if (first_pass && !end_extraction(report, counted ? Status{} : fail(counted.error()))) return false;
            if (!counted && report.stop().load(std::memory_order_relaxed)) return false;
            if (!counted) {
                fail_unwritten(report, group, {}, counted.error());
                return true;
            }
            counts = std::move(*counted);
            if (kept_count == 0) return nothing_kept();
        }
        std::vector<PatchOutput> outputs(group.size());
        // Appends a stretch's ordered members to their patches' files, each
        // patch on a thread of its own. A file is created with its first
        // point, one at a time: creating files in one folder at once only
        // makes the threads wait for the folder's lock.
        auto append = [&](const Stretch& st, const io::Window& window) {
            for (std::size_t s = 0; s < group.size(); ++s) {
                PatchOutput& out = outputs[s];
                if (st.start[s + 1] == st.start[s] || out.failed || out.output) continue;
                auto opened = open_patch(group[s], out, counts ? std::optional((*counts)[s]) : std::nullopt);
                if (!opened) fail_patch(report, group[s], out, opened.error());
            }
            parallel_for_each(group.size(), [&](std::size_t s) {
                PatchOutput& out = outputs[s];
                if (st.start[s + 1] == st.start[s] || out.failed) return;
                if (auto appended = append_members(st, window, s, out); !appended)
                    fail_patch(report, group[s], out, appended.error());
            });
        };
        // Each window in flight is kept, found and ordered on the pool while
        // the window before it is appended, in file order.
        struct InFlight {
            Stretch st;
            std::uint64_t kept = 0;
            bool whole = false;  // its members fit one stretch and are ordered
        };
        std::vector<InFlight> in_flight(kWindowsInFlight, InFlight{Stretch(window_pieces())});
        auto in_flight_of = [&](const io::Window& window) -> InFlight& {
            return in_flight[window.first / records.window_records() % kWindowsInFlight];
        };
        // A window whose members do not fit one stretch is placed stretch by
        // stretch when its turn comes, the first as long as the last was.
        Stretch cut(window_pieces());
        std::uint64_t stretch = records.window_records();
        auto append_in_stretches = [&](const io::Window& window) {
            for (std::uint64_t first = window.first; first < window.first + window.count;) {
                const std::uint64_t last = std::min(window.first + window.count, first + stretch);
                const std::uint64_t members = find_members(cut, window, first, last, grid, slot_of, group.size());
                if (members > kMaxStretchRecords && last - first > 64) {
                    stretch = std::max<std::uint64_t>(64, (last - first) / 2 / 64 * 64);
                    continue;
                }
                order_members(cut, group.size());
                append(cut, window);
                first = last;
            }
        };
        // Interrupted: give up; the unfinished files go with their outputs.
        auto stopped = [&] { return report.stop().load(std::memory_order_relaxed); };
        auto process = [&](const io::Window& window) -> Status {
            if (stopped()) return fail(Error::os("stopped"));
            InFlight& w = in_flight_of(window);
            w.kept = 0;
            if (!extracted) {
                auto kept_now = keep_window(window);
                if (!kept_now) return fail(kept_now.error());
                w.kept = *kept_now;
            }
            const std::uint64_t end = window.first + window.count;
            w.whole = find_members(w.st, window, window.first, end, grid, slot_of, group.size()) <= kMaxStretchRecords;
            if (w.whole) order_members(w.st, group.size());
            return {};
        };
        auto consume = [&](const io::Window& window) -> Status {
            if (stopped()) return fail(Error::os("stopped"));
            InFlight& w = in_flight_of(window);
            if (!extracted) {
                kept_count += w.kept;
                report.extracting(window.count);
            }
            if (w.whole) append(w.st, window);
            else append_in_stretches(window);
            return {};
        };
        // The last pass: a file larger than memory leaves no pages behind it.
        const bool drop_behind = io::larger_than_memory(records.count() * records.record_size());
        const bool first_pass = !extracted;
        auto written_all = records.pipeline(io::Order::Forward, kWindowsInFlight, process, consume, drop_behind);
        // A failed first pass fails the extraction, and leaves no file behind.
        if (first_pass && !end_extraction(report, written_all)) return false;
        if (!written_all) {
            if (report.stop().load(std::memory_order_relaxed)) return false;
            // The input could not be read again: every patch not yet failed fails.
            fail_unwritten(report, group, outputs, written_all.error());
            return true;
        }
        parallel_for_each(group.size(), [&](std::size_t s) {
            PatchOutput& out = outputs[s];
            if (out.failed) return;
            if (out.encoded == 0) return report.done(group[s], written(0));  // no file is created
            auto finished = finish(out, counts.has_value(), report.stop().load(std::memory_order_relaxed));
            if (!finished) return fail_patch(report, group[s], out, finished.error());
            report.done(group[s], written(out.encoded));
        });
        return true;
    }

    static void fail_patch(detail::WriterReport& report, std::size_t j, PatchOutput& out, const Error& error) {
        out.failed = true;
        out.writer.reset();
        out.output.reset();  // removes the temporary file
        report.done(j, failed(error));
    }

    // A failure to read the input again fails every patch of the group not
    // failed already.
    static void fail_unwritten(detail::WriterReport& report, std::span<const std::size_t> group,
                               const std::vector<PatchOutput>& outputs, const Error& cause) {
        const Error error = cause.as(ErrorKind::Os, "PLY read error: ");
        for (std::size_t s = 0; s < group.size(); ++s) {
            if (!outputs.empty() && outputs[s].failed) continue;
            detail::WriterOutcome outcome;
            outcome.kind = detail::WriterOutcome::Kind::Failed;
            outcome.error = error;
            report.done(group[s], std::move(outcome));
        }
    }

    // Writes the patch's last records and its count, unless that went out
    // first, and renames the file into place, unless the call was
    // interrupted meanwhile.
    static Status finish(PatchOutput& out, bool count_written, bool stop_requested) {
        if (auto flushed = out.writer->flush(); !flushed) return flushed;
        out.writer.reset();
        if (!count_written) {
            const std::uint64_t count = out.encoded;
            if (auto w = out.output->file().pwrite_all(&count, sizeof count, 0); !w) return w;
        }
        if (stop_requested) return fail(Error{ErrorKind::Interrupted, "Interrupted", 0});
        return out.output->commit();
    }
};

}  // namespace

Result<SplitCounts> write_patches(Cloud cloud, const Config& config, const InterruptPoll& interrupted) {
    const detail::ExtractionShown extraction{cloud.vertex_count, config.sample_percentage};
    auto job = std::make_shared<WriteJob>(std::move(cloud), config);
    return detail::run_writing(
        config.patches.size(), 1, [job](detail::WriterReport& report) { job->run(report); }, interrupted,
        extraction);
}

// ---- the pipeline ----

namespace {

// Two writers on one file would interleave their records: refuse such a
// configuration before anything is read or written.
Status require_distinct_outputs(const std::vector<Patch>& patches) {
    std::vector<std::string> paths;
    paths.reserve(patches.size());
    for (const auto& patch : patches) paths.push_back(patch.output_file);
    const auto shared = io::first_shared_path(paths);
    if (!shared) return {};
    const auto [a, b] = *shared;
    return fail(Error::value("Patches " + std::to_string(a) + " and " + std::to_string(b) +
                             " both write to " + patches[b].output_file +
                             "; every patch needs an output file of its own"));
}

}  // namespace

Result<SplitCounts> split_ply(const Config& config, const InterruptPoll& interrupted) {
    if (auto distinct = require_distinct_outputs(config.patches); !distinct)
        return fail(distinct.error());
    std::vector<std::string> outputs;
    for (const Patch& patch : config.patches) outputs.push_back(patch.output_file);
    if (auto apart = io::refuse_outputs_among_inputs(outputs, {config.input_file}); !apart)
        return fail(apart.error());
    auto cloud = read_point_cloud(config);
    if (!cloud) return fail(cloud.error());
    return write_patches(std::move(*cloud), config, interrupted);
}

}  // namespace larkspan::split_point_cloud
