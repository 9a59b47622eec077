// The sort of one table of the open-data import, and its packing in blocks.
//
// The published files are not in CNPJ order, and a table (establishments; or
// companies, partners and Simples together) is far larger than memory. The
// records are gathered in a buffer; a full buffer is sorted by key (stably:
// records of one key keep the order they came in) and written to a temporary
// file as a run, in chunks (compressed with zlib unless the caller has disk
// to spare), on a thread of its own while
// the next buffer fills. At the end the runs and the last buffer are merged
// (a k-way merge; for one key, the earlier run first, so the whole sort is
// stable) and cut into the blocks the database stores: records joined after a
// 0x1E each, cut as `place` says, deflated raw at level 3 with a dictionary
// drawn from the first records of the table (the same rule as the Python side
// used: every n/400-th of the first 20,000, the last 16 KiB). The merge and
// the compression run on another thread, ahead of whoever stores the blocks.
//
// Memory stays bounded whatever the table's size: two buffers, one chunk per
// run while merging, and a few batches of blocks waiting. The temporary file
// is unlinked as soon as it is created, so nothing is left behind even when
// the process is killed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/open_data.hpp"

namespace lexaro::open_data {

struct Block {
    std::int64_t key;   // the key of its first record
    std::string data;   // raw deflate of 0x1E + record, for each record
};

struct BlockLayout {
    std::int64_t divisor = 1;
    std::size_t target = 2048;
    std::size_t max_group = 2048;
    int level = 3;                        // -1: no blocks, each record comes out alone, as it went in
    std::size_t sample = 20000;           // first records the dictionary is drawn from
    std::size_t dictionary_size = 16384;  // its last bytes are the dictionary
};

// The dictionary of a table from the first records in key order.
std::string table_dictionary(const std::vector<std::string>& sample, std::size_t size);

class TableSorter {
public:
    // `memory`: bytes for the two buffers together; `temp_dir`: where runs
    // go; `spill_level`: the zlib level of their chunks, 0 to store them as
    // they are (far cheaper, when the disk has room for a table's size).
    TableSorter(std::string temp_dir, std::size_t memory, int spill_level = 1);
    ~TableSorter();
    TableSorter(const TableSorter&) = delete;
    TableSorter& operator=(const TableSorter&) = delete;

    // Adds records: f() calls add() for each, with the input held against a
    // close() from another thread (which then waits for the batch, and after
    // which feed throws).
    template <class F>
    void feed(F&& f) {
        std::lock_guard lock(input_);
        if (closed_) throw std::logic_error("TableSorter closed");
        f();
    }
    // Adds one record (`prefix` then `packed`). Not after start_blocks; only
    // inside feed.
    void add(std::int64_t key, std::string_view prefix, std::string_view packed);
    // Ends the input and starts merging and packing on a thread of its own.
    void start_blocks(const BlockLayout& layout);
    // The next batch of blocks in key order, into `out`: Got; End when there
    // are no more; NotYet when `wait` is false and no batch is ready.
    // Rethrows what failed on the other threads.
    enum class Next { got, end, not_yet };
    Next next_blocks(std::vector<Block>& out, bool wait = true);
    // The table's dictionary (waits for the first records to be merged).
    std::string dictionary();
    // Stops the threads and closes the temporary file; idempotent.
    void close();

    std::size_t runs_written() const { return runs_.size(); }

private:
    struct Entry {
        std::int64_t key;
        std::uint64_t offset;
        std::uint32_t size;
    };
    struct Buffer {
        std::string arena;
        std::vector<Entry> entries;
    };
    struct Run {
        std::uint64_t begin = 0, end = 0;
    };
    class Cursor;

    void hand_over();                 // the full buffer goes to the spilling thread
    void join_spill();
    void spill(Buffer& buffer, Run& run);
    void write_all(const char* data, std::size_t size);
    void produce(BlockLayout layout);
    void push_batch(std::vector<Block>&& batch);

    std::mutex input_;
    bool closed_ = false;
    std::string temp_dir_;
    std::size_t half_;
    int spill_level_;
    int fd_ = -1;
    std::uint64_t file_end_ = 0;
    Buffer filling_, spilling_;
    std::vector<Run> runs_;
    std::thread spiller_;
    std::exception_ptr spill_error_;
    bool started_ = false;

    std::thread producer_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<Block>> queue_;  // batches ready, oldest first
    bool done_ = false, dictionary_ready_ = false;
    std::atomic<bool> stop_{false};
    std::exception_ptr produce_error_;
    std::string dictionary_;
};

}  // namespace lexaro::open_data
