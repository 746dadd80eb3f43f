// The plain parts of the Windows watch and detector: telling folders apart,
// when an unreachable field is tried again, and reading a sparse file's
// data around its holes.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "allocated_ranges.h"
#include "folder_identity.h"
#include "watch_retry.h"

namespace {

folder_identity with_id(uint64_t volume, unsigned char first, uint32_t index_volume,
                        uint64_t index) {
    folder_identity f = {};
    f.has_id = true;
    f.volume = volume;
    f.id[0] = first;
    f.index_volume = index_volume;
    f.index = index;
    return f;
}

} // namespace

TEST(FolderIdentity, The128BitIdDecidesWhereBothHaveItElseTheIndex) {
    folder_identity a = with_id(7, 1, 70, 100);
    EXPECT_TRUE(same_folder(a, a));
    // On ReFS two folders can share the 64-bit index: the 128-bit id tells.
    EXPECT_FALSE(same_folder(a, with_id(7, 2, 70, 100)));
    EXPECT_FALSE(same_folder(a, with_id(8, 1, 70, 100)));
    folder_identity later_byte = a;
    later_byte.id[15] = 9;
    EXPECT_FALSE(same_folder(a, later_byte));
    EXPECT_TRUE(same_folder(a, with_id(7, 1, 71, 101)));
    // One side without the 128-bit id: the index and its volume decide.
    folder_identity b = a;
    b.has_id = false;
    EXPECT_TRUE(same_folder(a, b));
    b.index = 101;
    EXPECT_FALSE(same_folder(a, b));
    b.index = 100;
    b.index_volume = 71;
    EXPECT_FALSE(same_folder(b, a));
}

TEST(WatchRetry, NetworkFaultsAreWaitedOutWithBackOff) {
    for (unsigned long code : {51ul, 53ul, 59ul, 64ul, 67ul, 121ul, 1231ul, 1236ul}) {
        EXPECT_TRUE(is_transient_network_error(code)) << code;
    }
    // Gone, denied, a folder that is a file: the folder's own end.
    for (unsigned long code : {2ul, 3ul, 5ul, 6ul, 87ul}) {
        EXPECT_FALSE(is_transient_network_error(code)) << code;
    }
    std::vector<unsigned long> delays;
    for (unsigned attempt = 0; attempt < 8; attempt++) delays.push_back(retry_delay_ms(attempt));
    EXPECT_EQ(delays, (std::vector<unsigned long>{1000, 2000, 4000, 8000, 16000, 30000, 30000,
                                                  30000}));
    EXPECT_EQ(retry_delay_ms(4000000000u), 30000u);
}

namespace {

// The file system's answers: its ranges with data, at most batch at a time,
// or none at all.
struct fake_file {
    std::vector<data_range> ranges;
    size_t batch = RANGE_BATCH;
    bool refuses = false;
    int queries = 0;
};

int fake_query(void *context, uint64_t offset, uint64_t end, data_range *out, size_t capacity,
               bool *more) {
    fake_file *f = static_cast<fake_file *>(context);
    f->queries++;
    if (f->refuses) return -1;
    size_t limit = f->batch < capacity ? f->batch : capacity;
    size_t count = 0;
    *more = false;
    for (const data_range &r : f->ranges) {
        if (r.offset + r.length <= offset || r.offset >= end) continue;
        if (count == limit) {
            *more = true;
            break;
        }
        out[count++] = r;
    }
    return static_cast<int>(count);
}

struct piece {
    uint64_t offset;
    size_t length;
    bool after_hole;
    bool operator==(const piece &o) const {
        return offset == o.offset && length == o.length && after_hole == o.after_hole;
    }
};

// Reads the whole file want bytes at a time, as the detector does.
std::vector<piece> read_all(fake_file &f, uint64_t size, size_t want) {
    range_cursor c;
    range_start(&c, size);
    std::vector<piece> pieces;
    uint64_t offset;
    size_t length;
    bool hole;
    while (range_next(&c, want, fake_query, &f, &offset, &length, &hole)) {
        pieces.push_back({offset, length, hole});
        range_advance(&c, length);
    }
    return pieces;
}

} // namespace

TEST(AllocatedRanges, HolesAreSkippedAndSaidSo) {
    const uint64_t PiB = 1ull << 50;
    fake_file f;
    f.ranges = {{0, 10}, {1000, 5}, {PiB, 64}};
    EXPECT_EQ(read_all(f, PiB + 100, 8),
              (std::vector<piece>{{0, 8, false}, {8, 2, false}, {1000, 5, true},
                                  {PiB, 8, true}, {PiB + 8, 8, false}, {PiB + 16, 8, false},
                                  {PiB + 24, 8, false}, {PiB + 32, 8, false},
                                  {PiB + 40, 8, false}, {PiB + 48, 8, false},
                                  {PiB + 56, 8, false}}));
    // A file that starts with a hole, and data past the file's end (a
    // range the file system keeps allocated) is not read.
    f.ranges = {{4096, 100}};
    EXPECT_EQ(read_all(f, 4150, 1024), (std::vector<piece>{{4096, 54, true}}));
    // All hole.
    f.ranges = {};
    EXPECT_TRUE(read_all(f, PiB, 1024).empty());
}

TEST(AllocatedRanges, RangesComeInBatchesOrNotAtAll) {
    fake_file f;
    for (uint64_t i = 0; i < 5; i++) f.ranges.push_back({i * 100, 10});
    f.batch = 2;
    std::vector<piece> pieces = read_all(f, 1000, 64);
    ASSERT_EQ(pieces.size(), 5u);
    EXPECT_EQ(pieces[4], (piece{400, 10, true}));
    EXPECT_EQ(f.queries, 3);
    // No batch at all cannot move on: the rest is read whole.
    f.batch = 0;
    EXPECT_EQ(read_all(f, 100, 64), (std::vector<piece>{{0, 64, false}, {64, 36, false}}));
    f.refuses = true;
    EXPECT_EQ(read_all(f, 100, 64), (std::vector<piece>{{0, 64, false}, {64, 36, false}}));
}
