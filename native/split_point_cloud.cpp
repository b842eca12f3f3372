#include "split_point_cloud.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include <sys/mman.h>
#include <sys/stat.h>

#include "common/colmap.hpp"
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

// Interrupt polls cost an interpreter round trip, so loops over millions of
// vertices poll once per block of this many (a multiple of 64, so blocks
// never share a word of the kept set).
constexpr std::uint64_t kBlockVertices = 16'384;

// Work over the vertices is split into contiguous pieces for the worker pool:
// a few per thread, so a thread held up elsewhere delays little; none smaller
// than this many blocks.
constexpr std::uint64_t kPiecesPerThread = 4;
constexpr std::uint64_t kMinBlocksPerPiece = 8;

// Each writer encodes records into a buffer of this size and hands it to the
// kernel when it is full: far fewer system calls than 8 KiB writes.
constexpr std::size_t kWriteBufferBytes = 1 << 20;

// How many records ahead a writer asks for the point it will encode.
constexpr std::size_t kPrefetchDistance = 32;

// Refusals of the header's content stay ValueErrors; everything else is a
// failure to read the file.
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

    // One draw per point that passed the height test, and only when sampling,
    // from the generator of the thread that asks.
    Result<bool> sampled(random::SecureDraws& draws) const {
        switch (mode_) {
            case Mode::KeepAll: return true;
            case Mode::KeepNone: return false;
            case Mode::Sample: break;
        }
        auto u = draws.next_unit();
        if (!u) return fail(u.error());
        return *u < share_;
    }

private:
    enum class Mode { KeepAll, Sample, KeepNone };
    double min_z_, max_z_;
    Mode mode_;
    double share_;
};

// Marks the kept vertices among [first, last) and returns how many there
// are. The bits of each word are gathered in a register, and whether a
// sampled point is kept is added in, not branched on: that branch would be
// mispredicted half the time.
template <bool kFloat32>
Result<std::uint64_t> keep_points(Cloud& cloud, std::uint64_t first, std::uint64_t last,
                                  const PointFilter& filter) {
    std::uint64_t word = first / 64, bits = 0, kept = 0;
    auto& draws = random::thread_draws();
    for (std::uint64_t v = first; v < last; ++v) {
        if (v / 64 != word) {
            cloud.kept[word] |= bits;
            word = v / 64;
            bits = 0;
        }
        const double z = ply::read_field<kFloat32>(cloud.record(v), cloud.layout.z);
        if (!filter.in_height_range(z)) continue;
        auto keep = filter.sampled(draws);
        if (!keep) return fail(keep.error());
        bits |= std::uint64_t{*keep} << (v % 64);
        kept += *keep;
    }
    cloud.kept[word] |= bits;
    return kept;
}

// Polls for interrupts on the calling thread and moves the step's bar.
using Poll = std::function<Status(std::uint64_t done)>;

// Works through the vertices [0, count) in blocks of kBlockVertices, split
// into contiguous pieces that run on the worker pool, the calling thread
// among the workers: block(piece, first, last) is called for the blocks of
// each piece in order. On the calling thread every block starts with
// poll(items done so far). After a failed poll or block, blocks not yet
// started are skipped on every thread, and the first failure is returned.
template <class Block>
Status run_blocks(std::uint64_t count, std::size_t pieces, const Poll& poll, Block&& block) {
    const std::uint64_t blocks = (count + kBlockVertices - 1) / kBlockVertices;
    const auto caller = std::this_thread::get_id();
    std::atomic<std::uint64_t> done{0};
    std::atomic<bool> stopped{false};
    std::mutex failure_mutex;
    Status failure;
    auto stop = [&](Status failed) {
        std::lock_guard lock(failure_mutex);
        if (failure) failure = std::move(failed);
        stopped = true;
    };
    parallel_for_each(pieces, [&](std::size_t piece) {
        const bool on_caller = std::this_thread::get_id() == caller;
        for (std::uint64_t b = blocks * piece / pieces; b < blocks * (piece + 1) / pieces; ++b) {
            if (stopped.load(std::memory_order_relaxed)) return;
            if (on_caller) {
                if (auto polled = poll(done.load(std::memory_order_relaxed)); !polled)
                    return stop(std::move(polled));
            }
            const std::uint64_t first = b * kBlockVertices;
            auto worked = block(piece, first, std::min(count, first + kBlockVertices));
            if (!worked) return stop(fail(worked.error()));
            done.fetch_add(*worked, std::memory_order_relaxed);
        }
    });
    return failure;
}

// How many pieces the vertices are split into.
std::size_t piece_count(std::uint64_t count) {
    const std::uint64_t blocks = (count + kBlockVertices - 1) / kBlockVertices;
    const auto threads = static_cast<std::uint64_t>(std::max(1u, std::thread::hardware_concurrency()));
    return static_cast<std::size_t>(
        std::clamp<std::uint64_t>(blocks / kMinBlocksPerPiece, 1, kPiecesPerThread * threads));
}

// The vertex block must fit in what the file holds after its header; a count
// the file cannot hold fails here, before anything is sized from it. For
// files of unknown size the block is sized from the count, and a block that
// cannot be allocated fails when it is loaded.
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

Result<std::shared_ptr<const VertexBlock>> VertexBlock::load(io::File& file, std::uint64_t offset,
                                                             std::uint64_t size) {
    std::shared_ptr<VertexBlock> block(new VertexBlock());
    if (size == 0) return block;
    // Mappings start at a page boundary: map from the page holding `offset`.
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t start = offset / page * page;
    const std::uint64_t length = offset - start + size;
    if (length <= SIZE_MAX) {
        void* mapping = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, file.fd(),
                               static_cast<off_t>(start));
        if (mapping != MAP_FAILED) {
            block->mapping_ = mapping;
            block->mapping_size_ = length;
            block->data_ = static_cast<const char*>(mapping) + (offset - start);
            return block;
        }
    }
    // Not mappable (a special file): read the block into memory.
    if (size > SIZE_MAX) return fail(Error::os("the vertex data does not fit in memory"));
    block->buffer_.reset(new (std::nothrow) char[size]);
    if (!block->buffer_)
        return fail(Error::os("not enough memory for the vertex data (" + std::to_string(size) +
                              " bytes)"));
    if (auto read = file.read_exact(block->buffer_.get(), size); !read) return fail(read.error());
    block->data_ = block->buffer_.get();
    return block;
}

VertexBlock::~VertexBlock() {
    if (mapping_ != nullptr) ::munmap(mapping_, mapping_size_);
}

Result<Cloud> read_point_cloud(const Config& config, const InterruptPoll& interrupted) {
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
    // The records start right after the header: the reader's look-ahead is dropped.
    if (auto positioned = reader.seek(header->header_size); !positioned)
        return fail(read_error(positioned.error()));
    auto block = VertexBlock::load(*file, header->header_size, block_size);
    if (!block) return fail(read_error(block.error()));
    cloud.vertices = std::move(*block);
    cloud.vertex_count = count;
    try {
        cloud.kept.assign(count / 64 + 1, 0);
    } catch (const std::bad_alloc&) {
        return fail(read_error(Error::os("not enough memory to mark " + std::to_string(count) +
                                         " vertices")));
    }

    progress::ProgressBar bar(count);
    bar.set_style(progress::Template::CountAndRate);
    bar.set_message("Extracting points");
    const PointFilter filter(config);
    const std::size_t pieces = piece_count(count);
    std::vector<std::uint64_t> kept_in_piece(pieces, 0);
    auto extracted = run_blocks(
        count, pieces,
        [&](std::uint64_t done) -> Status {
            if (auto raised = interrupted())
                return fail(Error{ErrorKind::Interrupted, "PLY read error: " + *raised, 0});
            bar.set_position(done);
            return {};
        },
        [&](std::size_t piece, std::uint64_t first, std::uint64_t last) -> Result<std::uint64_t> {
            auto kept = cloud.layout.z.type == ply::Type::Float32
                            ? keep_points<true>(cloud, first, last, filter)
                            : keep_points<false>(cloud, first, last, filter);
            if (!kept) return fail(read_error(kept.error()));
            kept_in_piece[piece] += *kept;
            return last - first;
        });
    if (!extracted) return fail(extracted.error());
    for (std::uint64_t kept : kept_in_piece) cloud.kept_count += kept;
    bar.finish_with_message("Extraction complete");
    if (config.sample_percentage < 100) print_sampled_line(config.sample_percentage, cloud.kept_count);
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

namespace {

// A list that appends without branching on whether to append: the value is
// always stored, and the length grows by one only when it is to be kept.
template <class Index>
class GrowingList {
public:
    void append_if(std::uint64_t value, bool keep) {
        if (size_ == items_.size()) items_.resize(items_.size() * 2 + 64);
        items_[size_] = static_cast<Index>(value);
        size_ += keep;
    }
    std::size_t size() const { return size_; }
    void append_to(std::vector<Index>& out) const {
        out.insert(out.end(), items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(size_));
    }

private:
    std::vector<Index> items_;
    std::size_t size_ = 0;
};

// Appends every kept vertex of [first, last) to the lists of the patches
// that contain its point, and returns how many kept vertices there were.
// Vertices come in order, so every list stays ascending.
template <class Index, bool kFloat32>
std::uint64_t assign_block(const Cloud& cloud, const std::vector<Patch>& patches,
                           const RectIndex& grid, std::uint64_t first, std::uint64_t last,
                           std::vector<GrowingList<Index>>& lists) {
    std::uint64_t kept = 0;
    for (std::uint64_t word = first / 64; word < (last + 63) / 64; ++word) {
        for (std::uint64_t bits = cloud.kept[word]; bits != 0; bits &= bits - 1) {
            const std::uint64_t vertex = word * 64 + static_cast<std::uint64_t>(__builtin_ctzll(bits));
            const char* record = cloud.record(vertex);
            const double x = ply::read_field<kFloat32>(record, cloud.layout.x);
            const double y = ply::read_field<kFloat32>(record, cloud.layout.y);
            for (const std::uint32_t j : grid.candidates(x, y))
                lists[j].append_if(vertex, patches[j].contains(x, y));
            ++kept;
        }
    }
    return kept;
}

template <class Index>
Result<IndexLists<Index>> assign_with(const Cloud& cloud, const std::vector<Patch>& patches,
                                      const InterruptPoll& interrupted) {
    progress::ProgressBar bar(cloud.kept_count);
    bar.set_style(progress::Template::CountAndRate);
    bar.set_message("Assigning to patches");
    const RectIndex grid = index_of(patches);
    const bool xy_float32 =
        cloud.layout.x.type == ply::Type::Float32 && cloud.layout.y.type == ply::Type::Float32;
    // Each piece of the vertices fills lists of its own; joined in piece
    // order they are the ascending lists of the whole cloud.
    const std::size_t pieces = piece_count(cloud.vertex_count);
    std::vector<std::vector<GrowingList<Index>>> piece_lists(
        pieces, std::vector<GrowingList<Index>>(patches.size()));
    auto assigned = run_blocks(
        cloud.vertex_count, pieces,
        [&](std::uint64_t done) -> Status {
            if (auto raised = interrupted())
                return fail(Error{ErrorKind::Interrupted,
                                  "Assignment error: Signal check failed: " + *raised, 0});
            bar.set_position(done);
            return {};
        },
        [&](std::size_t piece, std::uint64_t first, std::uint64_t last) -> Result<std::uint64_t> {
            auto& lists = piece_lists[piece];
            return xy_float32 ? assign_block<Index, true>(cloud, patches, grid, first, last, lists)
                              : assign_block<Index, false>(cloud, patches, grid, first, last, lists);
        });
    if (!assigned) return fail(assigned.error());

    IndexLists<Index> lists(patches.size());
    parallel_for_each(patches.size(), [&](std::size_t j) {
        std::size_t total = 0;
        for (const auto& from_piece : piece_lists) total += from_piece[j].size();
        lists[j].reserve(total);
        for (const auto& from_piece : piece_lists) from_piece[j].append_to(lists[j]);
    });
    bar.finish_with_message("Assignment complete");
    return lists;
}

}  // namespace

Result<PatchIndices> assign_points_to_patches(const Cloud& cloud, const std::vector<Patch>& patches,
                                              const InterruptPoll& interrupted) {
    if (patches.size() > UINT32_MAX) panic("more patches than the grid can number");
    if (cloud.vertex_count <= std::uint64_t{UINT32_MAX} + 1) {
        auto lists = assign_with<std::uint32_t>(cloud, patches, interrupted);
        if (!lists) return fail(lists.error());
        return PatchIndices(std::move(*lists));
    }
    auto lists = assign_with<std::uint64_t>(cloud, patches, interrupted);
    if (!lists) return fail(lists.error());
    return PatchIndices(std::move(*lists));
}

// ---- step 3: write_patches ----

namespace {

// Records a writer encodes between two looks at its stop flag.
constexpr std::size_t kRecordsPerStopCheck = 1 << 14;

// The points file body: one record per vertex, in order, ids 1..N in index
// order, error -1, no observations. Returns false, having stopped early,
// once `stop` is set.
template <bool kFloat32, class Index>
bool write_point_records(colmap::Point3DBinWriter& out, const Cloud& cloud,
                         const std::vector<Index>& vertices, const std::atomic<bool>* stop) {
    for (std::size_t k = 0; k < vertices.size(); ++k) {
        if (k % kRecordsPerStopCheck == 0 && stop != nullptr && stop->load(std::memory_order_relaxed))
            return false;
        // The points of one patch lie scattered over the whole block: ask for
        // the record needed a few steps ahead.
        if (k + kPrefetchDistance < vertices.size())
            __builtin_prefetch(cloud.record(vertices[k + kPrefetchDistance]));
        if (vertices[k] >= cloud.vertex_count) panic("vertex number outside the vertex block");
        const CloudPoint p = point_at<kFloat32>(cloud.record(vertices[k]), cloud.layout);
        out.write(k + 1, {static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z)},
                  {p.red, p.green, p.blue}, -1.0);
    }
    return true;
}

}  // namespace

template <class Index>
Status write_colmap_file(const std::string& path, const Cloud& cloud,
                         const std::vector<Index>& vertices, const std::atomic<bool>* stop) {
    if (auto made = io::create_parent_directories(path); !made) return made;
    auto output = io::Output::create(path);
    if (!output) return fail(output.error());

    colmap::Point3DBinWriter out(output->file(), vertices.size(), kWriteBufferBytes);
    const RecordLayout& layout = cloud.layout;
    const bool xyz_float32 = layout.x.type == ply::Type::Float32 &&
                             layout.y.type == ply::Type::Float32 && layout.z.type == ply::Type::Float32;
    const bool whole = xyz_float32 ? write_point_records<true>(out, cloud, vertices, stop)
                                   : write_point_records<false>(out, cloud, vertices, stop);
    // Stopped: the temporary file goes with `output`.
    if (!whole) return fail(Error{ErrorKind::Interrupted, "Interrupted", 0});
    if (auto finished = out.finish(); !finished) return finished;
    return output->commit();
}

template Status write_colmap_file(const std::string&, const Cloud&,
                                  const std::vector<std::uint32_t>&, const std::atomic<bool>*);
template Status write_colmap_file(const std::string&, const Cloud&,
                                  const std::vector<std::uint64_t>&, const std::atomic<bool>*);

namespace detail {

namespace {

// Enough writers to keep the cores and the disk busy, never one per patch:
// thousands of patches must not mean thousands of threads.
std::size_t writer_thread_count(std::size_t patch_count) {
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    return std::min(patch_count, std::clamp<std::size_t>(cores, 2, 16));
}

// State shared by the writers and the calling thread. The writers own it
// with the calling thread, so it outlives a call that stops waiting for them.
struct WriterPool {
    WriterPool(std::size_t patch_count, PatchWriter write_one)
        : write_one(std::move(write_one)), outcomes(patch_count) {}

    const PatchWriter write_one;
    std::atomic<std::size_t> next_patch{0};
    std::atomic<bool> stop{false};  // set on an interrupt: no new patch is started
    std::mutex mutex;  // guards outcomes and completed_patches
    std::condition_variable changed;
    std::vector<WriterOutcome> outcomes;
    std::uint64_t completed_patches = 0;
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

void writer_loop(const std::shared_ptr<WriterPool>& pool) {
    for (;;) {
        if (pool->stop.load(std::memory_order_relaxed)) return;
        const std::size_t patch = pool->next_patch.fetch_add(1);
        if (patch >= pool->outcomes.size()) return;
        WriterOutcome outcome = run_one(pool->write_one, patch, pool->stop);
        {
            std::lock_guard lock(pool->mutex);
            pool->outcomes[patch] = std::move(outcome);
            ++pool->completed_patches;
        }
        pool->changed.notify_all();
    }
}

// The writer threads, joined before the call returns whatever happens: no
// file is written after the caller has its result.
class WriterThreads {
public:
    WriterThreads() = default;
    WriterThreads(const WriterThreads&) = delete;
    WriterThreads& operator=(const WriterThreads&) = delete;
    ~WriterThreads() { join_all(); }

    void start(std::size_t count, const std::shared_ptr<WriterPool>& pool) {
        try {
            for (std::size_t i = 0; i < count; ++i)
                threads_.emplace_back([pool] { writer_loop(pool); });
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

Result<SplitCounts> run_writers(std::size_t patch_count, PatchWriter write_one,
                                const InterruptPoll& interrupted) {
    progress::ProgressBar bar(patch_count);
    bar.set_style(progress::Template::Count);
    bar.set_message("Writing patches");
    auto pool = std::make_shared<WriterPool>(patch_count, std::move(write_one));
    WriterThreads threads;
    threads.start(writer_thread_count(patch_count), pool);

    // Monitor: poll, show the count, and wait up to 100 ms for it to change.
    std::uint64_t shown = 0;
    for (;;) {
        if (auto raised = interrupted()) {
            pool->stop.store(true, std::memory_order_relaxed);
            threads.join_all();
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
    threads.join_all();

    SplitCounts counts;
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

}  // namespace detail

namespace {

// What the writers read, owned by them: it lives until the last writer ends,
// even when the call has already failed.
struct WriteJob {
    Cloud cloud;  // the vertex block and its layout; no kept set
    PatchIndices indices;
    std::vector<std::string> output_files;

    Result<std::uint64_t> write(std::size_t patch, const std::atomic<bool>& stop) const {
        return std::visit(
            [&](const auto& lists) -> Result<std::uint64_t> {
                const auto& list = lists[patch];
                if (list.empty()) return 0;  // no file is created or touched
                if (auto written = write_colmap_file(output_files[patch], cloud, list, &stop); !written)
                    return fail(written.error().as(ErrorKind::Os, "Write error: "));
                return list.size();
            },
            indices);
    }
};

}  // namespace

Result<SplitCounts> write_patches(const Cloud& cloud, PatchIndices indices,
                                  const std::vector<Patch>& patches,
                                  const InterruptPoll& interrupted) {
    auto job = std::make_shared<WriteJob>();
    job->cloud.vertices = cloud.vertices;
    job->cloud.vertex_count = cloud.vertex_count;
    job->cloud.layout = cloud.layout;
    job->indices = std::move(indices);
    for (const Patch& patch : patches) job->output_files.push_back(patch.output_file);
    std::shared_ptr<const WriteJob> shared = std::move(job);
    return detail::run_writers(
        patches.size(),
        [shared](std::size_t patch, const std::atomic<bool>& stop) { return shared->write(patch, stop); },
        interrupted);
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
    auto cloud = read_point_cloud(config, interrupted);
    if (!cloud) return fail(cloud.error());
    auto indices = assign_points_to_patches(*cloud, config.patches, interrupted);
    if (!indices) return fail(indices.error());
    auto counts = write_patches(*cloud, std::move(*indices), config.patches, interrupted);
    if (!counts) return counts;
    counts->points_loaded = cloud->kept_count;
    return counts;
}

}  // namespace larkspan::split_point_cloud
