#include "core/open_data_sort.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>
#include <cerrno>
#include <cstring>
#include <future>
#include <queue>
#include <stdexcept>
#include <system_error>

namespace lexaro::open_data {

namespace {

constexpr char kRecordSep = '\x1e';
// Raw bytes per spilled chunk: large enough for zlib to find the repeats of
// neighbouring records, small enough that one chunk per run (a real month
// makes some dozens of runs) stays a few megabytes while merging.
constexpr std::size_t kChunk = 256 * 1024;
constexpr std::size_t kBlocksPerBatch = 512;
// Batches ready ahead of the writer (some tens of megabytes at most): the
// writer polls between chunks of the next table, and a producer that waited
// for it each few batches would do a table's merge at the end instead of
// beside the reading.
constexpr std::size_t kBatchesAhead = 32;
// A chunk's header: its size on disk, with this bit set when it is stored
// as it is (no compression), then its size in memory.
constexpr std::uint32_t kStored = 0x80000000u;

template <class T>
void put(std::string& out, T v) {
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

template <class T>
T get(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[noreturn]] void fail_errno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// A deflate stream (raw, with the table's dictionary loaded once) that every
// block starts from by copy: copying the state is cheaper than loading the
// dictionary again for each 2 KB block.
class BlockDeflater {
public:
    BlockDeflater(int level, const std::string& dictionary) {
        std::memset(&base_, 0, sizeof base_);
        // A 16 KiB window holds the whole dictionary, and with memLevel 5 the
        // state a block copies is some 80 KB instead of 256 (the copy cost
        // more than the compression of a 2 KB block); the blocks come out a
        // fraction of a percent larger. The reader inflates with a 32 KiB
        // window, which reads any smaller one.
        if (deflateInit2(&base_, level, Z_DEFLATED, -14, 5, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("zlib: deflateInit2 failed");
        if (!dictionary.empty() &&
            deflateSetDictionary(&base_, reinterpret_cast<const Bytef*>(dictionary.data()),
                                 static_cast<uInt>(dictionary.size())) != Z_OK) {
            deflateEnd(&base_);
            throw std::runtime_error("zlib: deflateSetDictionary failed");
        }
    }
    ~BlockDeflater() { deflateEnd(&base_); }
    BlockDeflater(const BlockDeflater&) = delete;
    BlockDeflater& operator=(const BlockDeflater&) = delete;

    // The block, in a string of its own size (thousands wait in the queue).
    std::string deflate(const std::string& text) {
        z_stream z;
        std::memset(&z, 0, sizeof z);
        if (deflateCopy(&z, &base_) != Z_OK) throw std::runtime_error("zlib: deflateCopy failed");
        scratch_.resize(deflateBound(&z, static_cast<uLong>(text.size())) + 16);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        z.avail_in = static_cast<uInt>(text.size());
        z.next_out = reinterpret_cast<Bytef*>(scratch_.data());
        z.avail_out = static_cast<uInt>(scratch_.size());
        const int rc = ::deflate(&z, Z_FINISH);
        const std::size_t n = scratch_.size() - z.avail_out;
        deflateEnd(&z);
        if (rc != Z_STREAM_END) throw std::runtime_error("zlib: deflate did not finish");
        return std::string(scratch_.data(), n);
    }

private:
    z_stream base_;
    std::string scratch_;
};

}  // namespace

std::string table_dictionary(const std::vector<std::string>& sample, std::size_t size) {
    if (sample.empty()) return {};
    const std::size_t step = std::max<std::size_t>(1, sample.size() / 400);
    std::string joined;
    for (std::size_t i = 0; i < sample.size(); i += step) {
        joined.push_back(kRecordSep);
        joined += sample[i];
    }
    return joined.size() > size ? joined.substr(joined.size() - size) : joined;
}

// Reads one run in key order: a spilled one chunk by chunk, or the buffer
// still in memory.
class TableSorter::Cursor {
public:
    Cursor(int fd, Run run) : fd_(fd), pos_(run.begin), end_(run.end) {}
    explicit Cursor(const Buffer* memory) : memory_(memory) {}

    // Moves to the next record; false at the end of the run.
    bool next() {
        if (memory_) {
            if (index_ == memory_->entries.size()) return false;
            const Entry& e = memory_->entries[index_++];
            key = e.key;
            value = std::string_view(memory_->arena).substr(e.offset, e.size);
            return true;
        }
        if (at_ == raw_.size()) {
            if (pos_ >= end_) return false;
            read_chunk();
        }
        key = get<std::int64_t>(raw_.data() + at_);
        const auto size = get<std::uint32_t>(raw_.data() + at_ + 8);
        value = std::string_view(raw_).substr(at_ + 12, size);
        at_ += 12 + size;
        return true;
    }

    std::int64_t key = 0;
    std::string_view value;

private:
    void read_exact(char* out, std::size_t n) {
        while (n) {
            const ssize_t got = ::pread(fd_, out, n, static_cast<off_t>(pos_));
            if (got < 0) {
                if (errno == EINTR) continue;
                fail_errno("reading a sorted run");
            }
            if (got == 0) throw std::runtime_error("sorted run cut short");
            out += got;
            pos_ += static_cast<std::uint64_t>(got);
            n -= static_cast<std::size_t>(got);
        }
    }

    void read_chunk() {
        char header[8];
        read_exact(header, 8);
        const auto first = get<std::uint32_t>(header);
        const auto raw = get<std::uint32_t>(header + 4);
        if (first & kStored) {
            raw_.resize(raw);
            read_exact(raw_.data(), raw);
            at_ = 0;
            return;
        }
        const std::uint32_t packed = first;
        compressed_.resize(packed);
        read_exact(compressed_.data(), packed);
        raw_.resize(raw);
        uLongf n = raw;
        if (uncompress(reinterpret_cast<Bytef*>(raw_.data()), &n, reinterpret_cast<const Bytef*>(compressed_.data()),
                       packed) != Z_OK ||
            n != raw)
            throw std::runtime_error("sorted run corrupted");
        at_ = 0;
    }

    int fd_ = -1;
    std::uint64_t pos_ = 0, end_ = 0;
    std::string compressed_, raw_;
    std::size_t at_ = 0;
    const Buffer* memory_ = nullptr;
    std::size_t index_ = 0;
};

TableSorter::TableSorter(std::string temp_dir, std::size_t memory, int spill_level)
    : temp_dir_(std::move(temp_dir)), half_(std::max<std::size_t>(memory / 2, 1)),
      spill_level_(std::clamp(spill_level, 0, 9)) {}

TableSorter::~TableSorter() { close(); }

void TableSorter::add(std::int64_t key, std::string_view prefix, std::string_view packed) {
    if (started_) throw std::logic_error("TableSorter::add after start_blocks");
    Buffer& b = filling_;
    if (b.arena.capacity() == 0) b.arena.reserve(half_);
    b.entries.push_back({key, b.arena.size(), static_cast<std::uint32_t>(prefix.size() + packed.size())});
    b.arena.append(prefix);
    b.arena.append(packed);
    if (b.arena.size() + b.entries.size() * sizeof(Entry) >= half_) hand_over();
}

void TableSorter::join_spill() {
    if (spiller_.joinable()) spiller_.join();
    if (spill_error_) std::rethrow_exception(std::exchange(spill_error_, nullptr));
}

void TableSorter::hand_over() {
    join_spill();
    std::swap(filling_, spilling_);
    filling_.arena.clear();
    filling_.entries.clear();
    if (fd_ < 0) {
        std::string path = temp_dir_ + "/fila-XXXXXX";
        fd_ = ::mkstemp(path.data());
        if (fd_ < 0) fail_errno("creating the sort's temporary file");
        ::unlink(path.c_str());
    }
    runs_.emplace_back();
    const std::size_t index = runs_.size() - 1;
    spiller_ = std::thread([this, index] {
        try {
            spill(spilling_, runs_[index]);
        } catch (...) {
            spill_error_ = std::current_exception();
        }
    });
}

void TableSorter::write_all(const char* data, std::size_t size) {
    while (size) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail_errno("writing a sorted run");
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        file_end_ += static_cast<std::uint64_t>(n);
    }
}

void TableSorter::spill(Buffer& b, Run& run) {
    std::stable_sort(b.entries.begin(), b.entries.end(), [](const Entry& x, const Entry& y) { return x.key < y.key; });
    run.begin = file_end_;
    std::string raw, packed;
    raw.reserve(kChunk + 64 * 1024);
    auto flush = [&] {
        if (raw.empty()) return;
        if (spill_level_ == 0) {
            const auto sizes = std::array<std::uint32_t, 2>{static_cast<std::uint32_t>(raw.size()) | kStored,
                                                             static_cast<std::uint32_t>(raw.size())};
            write_all(reinterpret_cast<const char*>(sizes.data()), 8);
            write_all(raw.data(), raw.size());
            raw.clear();
            return;
        }
        uLongf n = compressBound(static_cast<uLong>(raw.size()));
        packed.resize(8 + n);
        if (compress2(reinterpret_cast<Bytef*>(packed.data() + 8), &n, reinterpret_cast<const Bytef*>(raw.data()),
                      static_cast<uLong>(raw.size()), spill_level_) != Z_OK)
            throw std::runtime_error("zlib: compress2 failed");
        const auto sizes = std::array<std::uint32_t, 2>{static_cast<std::uint32_t>(n),
                                                         static_cast<std::uint32_t>(raw.size())};
        std::memcpy(packed.data(), sizes.data(), 8);
        write_all(packed.data(), 8 + n);
        raw.clear();
    };
    for (const Entry& e : b.entries) {
        put(raw, e.key);
        put(raw, e.size);
        raw.append(b.arena, e.offset, e.size);
        if (raw.size() >= kChunk) flush();
    }
    flush();
    run.end = file_end_;
    // The buffer is refilled from empty: keep its memory, drop its content.
    b.entries.clear();
    b.arena.clear();
}

void TableSorter::start_blocks(const BlockLayout& layout) {
    if (started_) throw std::logic_error("TableSorter::start_blocks twice");
    started_ = true;
    join_spill();
    // The buffer not spilled is the last run: it holds the latest records.
    std::stable_sort(filling_.entries.begin(), filling_.entries.end(),
                     [](const Entry& x, const Entry& y) { return x.key < y.key; });
    spilling_ = Buffer{};
    producer_ = std::thread([this, layout] { produce(layout); });
}

void TableSorter::push_batch(std::vector<Block>&& batch) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stop_ || queue_.size() < kBatchesAhead; });
    if (stop_) throw std::runtime_error("stopped");
    queue_.push_back(std::move(batch));
    changed_.notify_all();
}

void TableSorter::produce(BlockLayout layout) {
    try {
        std::vector<Cursor> cursors;
        cursors.reserve(runs_.size() + 1);
        for (const Run& r : runs_) cursors.emplace_back(fd_, r);
        cursors.emplace_back(&filling_);
        // Smallest key first; for one key, the earlier run.
        using Head = std::pair<std::int64_t, std::size_t>;
        std::priority_queue<Head, std::vector<Head>, std::greater<>> heap;
        for (std::size_t i = 0; i < cursors.size(); ++i)
            if (cursors[i].next()) heap.emplace(cursors[i].key, i);

        std::vector<std::pair<std::int64_t, std::string>> first;  // until the dictionary is known
        // Two deflaters: the second half of each batch is compressed on a
        // helper thread while this one compresses the first half (deflate is
        // most of the work of this stage).
        std::unique_ptr<BlockDeflater> deflater, helper;
        CutState state;
        std::int64_t block_key = 0;
        std::string text;
        std::vector<Block> batch;   // `data` holds the text until the batch is compressed
        auto compress_batch = [&] {
            if (batch.empty()) return;
            const std::size_t half = batch.size() / 2;
            auto second = std::async(std::launch::async, [&] {
                for (std::size_t i = half; i < batch.size(); ++i) batch[i].data = helper->deflate(batch[i].data);
            });
            std::exception_ptr error;
            try {
                for (std::size_t i = 0; i < half; ++i) batch[i].data = deflater->deflate(batch[i].data);
            } catch (...) {
                error = std::current_exception();
            }
            second.get();
            if (error) std::rethrow_exception(error);
            push_batch(std::exchange(batch, {}));
        };
        auto close_block = [&] {
            if (text.empty()) return;
            batch.push_back({block_key, std::exchange(text, {})});
            if (batch.size() >= kBlocksPerBatch) compress_batch();
        };
        auto emit = [&](std::int64_t key, std::string_view value) {
            if (place(state, key, value.size(), layout.divisor, layout.target, layout.max_group)) close_block();
            if (text.empty()) block_key = key;
            text.push_back(kRecordSep);
            text.append(value);
        };
        auto settle_dictionary = [&] {
            std::vector<std::string> sample;
            sample.reserve(first.size());
            for (auto& [k, v] : first) sample.push_back(v);
            std::string d = table_dictionary(sample, layout.dictionary_size);
            deflater = std::make_unique<BlockDeflater>(layout.level, d);
            helper = std::make_unique<BlockDeflater>(layout.level, d);
            {
                std::lock_guard lock(mutex_);
                dictionary_ = std::move(d);
                dictionary_ready_ = true;
            }
            changed_.notify_all();
            for (auto& [k, v] : first) emit(k, v);
            first = {};
        };
        if (layout.level < 0) {
            // Records only, in key order (the names of the name index).
            {
                std::lock_guard lock(mutex_);
                dictionary_ready_ = true;
            }
            while (!heap.empty() && !stop_.load(std::memory_order_relaxed)) {
                const auto [key, i] = heap.top();
                heap.pop();
                batch.push_back({key, std::string(cursors[i].value)});
                if (batch.size() >= 8 * kBlocksPerBatch) push_batch(std::exchange(batch, {}));
                if (cursors[i].next()) heap.emplace(cursors[i].key, i);
            }
        } else {
            while (!heap.empty()) {
                const auto [key, i] = heap.top();
                heap.pop();
                Cursor& c = cursors[i];
                if (deflater) emit(key, c.value);
                else {
                    first.emplace_back(key, std::string(c.value));
                    if (first.size() >= layout.sample) settle_dictionary();
                }
                if (c.next()) heap.emplace(c.key, i);
                if (stop_.load(std::memory_order_relaxed)) break;
            }
            if (!deflater) settle_dictionary();
            close_block();
            compress_batch();
        }
        if (!batch.empty()) push_batch(std::move(batch));
    } catch (...) {
        std::lock_guard lock(mutex_);
        if (!stop_) produce_error_ = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    done_ = true;
    dictionary_ready_ = true;
    changed_.notify_all();
}

TableSorter::Next TableSorter::next_blocks(std::vector<Block>& out, bool wait) {
    if (!started_) throw std::logic_error("TableSorter::next_blocks before start_blocks");
    std::unique_lock lock(mutex_);
    if (wait) changed_.wait(lock, [&] { return !queue_.empty() || done_; });
    if (!queue_.empty()) {
        out = std::move(queue_.front());
        queue_.erase(queue_.begin());
        changed_.notify_all();
        return Next::got;
    }
    if (!done_) return Next::not_yet;
    if (produce_error_) std::rethrow_exception(produce_error_);
    return Next::end;
}

std::string TableSorter::dictionary() {
    if (!started_) throw std::logic_error("TableSorter::dictionary before start_blocks");
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return dictionary_ready_; });
    if (produce_error_) std::rethrow_exception(produce_error_);
    return dictionary_;
}

void TableSorter::close() {
    std::lock_guard input(input_);
    closed_ = true;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        changed_.notify_all();
    }
    if (producer_.joinable()) producer_.join();
    if (spiller_.joinable()) spiller_.join();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    filling_ = Buffer{};
    spilling_ = Buffer{};
    queue_.clear();
}

}  // namespace lexaro::open_data
