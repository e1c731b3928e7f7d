#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pal_qbuf.h"

namespace {

int ends_with_newline(const char* b, uint32_t len) { return len > 0 && b[len - 1] == '\n'; }

struct qbuf_guard {
  qbuf* h = qbuf_init();
  ~qbuf_guard() { qbuf_close(h); }
};

void put(qbuf* h, const std::string& s) { ASSERT_EQ(qbuf_write_timeout(h, s.data(), static_cast<uint32_t>(s.size()), 500), 0); }

std::string read(qbuf* h, uint32_t room, int* end = nullptr, int timeout = 0) {
  std::string buf(room, '\0');
  int n = qbuf_read_imp(h, buf.data(), room, timeout, ends_with_newline, end);
  EXPECT_GE(n, 0);
  return buf.substr(0, n < 0 ? 0 : n);
}

TEST(Qbuf, BlockThatFitsExactlyComesWhole) {
  qbuf_guard q;
  put(q.h, "12345");
  EXPECT_EQ(read(q.h, 5), "12345");
}

TEST(Qbuf, BlockOneByteTooLongWaitsForTheNextRead) {
  qbuf_guard q;
  put(q.h, "12345");
  put(q.h, "67");
  testing::internal::CaptureStderr();
  EXPECT_EQ(read(q.h, 4), "");
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("len=4 blen=5 len must >= blen"), std::string::npos) << log;
  EXPECT_EQ(qbuf_pending_len(q.h), 5u);
  // A read that can never take the block waits its time-out as on an empty
  // queue instead of returning at once into its caller's retry loop.
  testing::internal::CaptureStderr();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(read(q.h, 4, nullptr, 300), "");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(qbuf_pending_len(q.h), 5u);
  EXPECT_EQ(read(q.h, 100), "1234567");  // the pending block first
  EXPECT_EQ(qbuf_pending_len(q.h), 0u);
}

TEST(Qbuf, ReadStopsAfterTheMessageEnd) {
  qbuf_guard q;
  put(q.h, "a\tb");
  put(q.h, "\n");
  put(q.h, "next");
  int end = -1;
  EXPECT_EQ(read(q.h, 100, &end), "a\tb\n");
  EXPECT_EQ(end, 1);
  EXPECT_EQ(read(q.h, 100, &end), "next");
  EXPECT_EQ(end, 0);
}

TEST(Qbuf, RecordsAreNeverSplitAcrossReads) {
  qbuf_guard q;
  std::string all;
  for (int i = 0; i < 50; ++i) {
    std::string rec = std::string(1 + (i * 7) % 23, static_cast<char>('a' + i % 26)) + ";";
    put(q.h, rec);
    all += rec;
  }
  std::string got;
  for (int i = 0; i < 200 && got.size() < all.size(); ++i) {
    std::string part = read(q.h, 30);
    ASSERT_FALSE(part.empty());
    EXPECT_EQ(part.back(), ';');  // every read ends at a record boundary
    got += part;
  }
  EXPECT_EQ(got, all);
}

// Cuts a block after its last whole "|"-ended record that fits.
uint32_t split_bars(const unsigned char* p, uint32_t len, uint32_t room) {
  std::string_view v(reinterpret_cast<const char*>(p), std::min(len, room));
  size_t at = v.rfind('|');
  return at == std::string_view::npos ? 0 : static_cast<uint32_t>(at + 1);
}

void put_split(qbuf* h, const std::string& s) {
  ASSERT_EQ(qbuf_write_timeout(h, s.data(), static_cast<uint32_t>(s.size()), 500, split_bars), 0);
}

// A block queued with its split goes to reads too small for it in parts,
// whole records only, in order; what is left counts as pending and is
// never taken for a message end.
TEST(Qbuf, SplitBlocksGoInWholeRecords) {
  qbuf_guard q;
  put_split(q.h, "aa|bbb|c|dddd|");
  put(q.h, "\n");
  int end = -1;
  EXPECT_EQ(read(q.h, 8, &end), "aa|bbb|");
  EXPECT_EQ(end, 0);
  EXPECT_EQ(qbuf_pending_len(q.h), 7u);
  EXPECT_EQ(read(q.h, 4), "c|");
  EXPECT_EQ(read(q.h, 4), "");  // the next record alone is longer
  EXPECT_EQ(qbuf_pending_len(q.h), 5u);
  EXPECT_EQ(read(q.h, 100, &end), "dddd|\n");
  EXPECT_EQ(end, 1);
  // A rest that looks like an end is still no end: the read goes on.
  put_split(q.h, "aa|b\n");
  put(q.h, "zz\n");
  EXPECT_EQ(read(q.h, 4), "aa|");
  EXPECT_EQ(read(q.h, 100, &end), "b\nzz\n");
  EXPECT_EQ(end, 1);
  EXPECT_EQ(qbuf_pending_len(q.h), 0u);
}

TEST(Qbuf, WritersOnSeveralThreadsOneReader) {
  qbuf_guard q;
  constexpr int kWriters = 3, kEach = 500;
  std::vector<std::thread> ws;
  for (int w = 0; w < kWriters; ++w)
    ws.emplace_back([&, w] {
      for (int i = 0; i < kEach; ++i) put(q.h, std::to_string(w) + ":" + std::to_string(i) + "\n");
    });
  std::vector<int> next(kWriters, 0);
  int total = 0;
  for (int round = 0; round < 100000 && total < kWriters * kEach; ++round) {
    int end = 0;
    std::string rec = read(q.h, 64, &end, 100);
    if (rec.empty()) continue;
    ASSERT_EQ(end, 1);  // each block is a whole message here
    size_t colon = rec.find(':');
    ASSERT_NE(colon, std::string::npos);
    int w = std::stoi(rec.substr(0, colon));
    EXPECT_EQ(std::stoi(rec.substr(colon + 1)), next[w]++);
    ++total;
  }
  for (auto& t : ws) t.join();
  EXPECT_EQ(total, kWriters * kEach);
}

TEST(Qbuf, EmptyAndInvalidReads) {
  qbuf_guard q;
  char buf[8];
  int end = 5;
  EXPECT_EQ(qbuf_read_imp(q.h, buf, sizeof buf, 0, nullptr, &end), 0);
  EXPECT_EQ(end, 0);
  EXPECT_EQ(qbuf_read_imp(nullptr, buf, sizeof buf, 0, nullptr, &end), -1);
  // A zero-length record is a block of its own.
  EXPECT_EQ(qbuf_write_timeout(q.h, "", 0, 0), 0);
  EXPECT_EQ(qbuf_read_imp(q.h, buf, sizeof buf, 0, [](const char*, uint32_t len) { return len == 0 ? 1 : 0; }, &end), 0);
  EXPECT_EQ(end, 1);
}

TEST(Qbuf, CloseReleasesQueuedAndPendingBlocks) {
  qbuf* h = qbuf_init();
  ASSERT_NE(h, nullptr);
  put(h, "0123456789");
  put(h, "more");
  char small[2];
  EXPECT_EQ(qbuf_read_imp(h, small, sizeof small, 0, nullptr, nullptr), 0);  // first block now pending
  EXPECT_EQ(qbuf_close(h), 0);  // the sanitizer build checks nothing leaks
}

int g_allocs, g_releases;

TEST(Lbuf, PoolTracksLiveBlocksAndCallsItsProcedures) {
  g_allocs = g_releases = 0;
  lbuf_param p;
  p.item_size = 24;
  p.on_alloc = [](void*, void*) { ++g_allocs; };
  p.on_release = [](void*, void*) { ++g_releases; };
  lbuf* pool = lbuf_create(&p);
  ASSERT_NE(pool, nullptr);
  void* a = lbuf_slab_malloc(pool);
  void* b = lbuf_malloc(pool, 1000);
  void* c = lbuf_malloc(pool, 0);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % alignof(std::max_align_t), 0u);
  memset(b, 0xab, 1000);
  EXPECT_EQ(lbuf_count(pool), 3u);
  EXPECT_EQ(lbuf_free(pool, b), 0);
  EXPECT_EQ(lbuf_count(pool), 2u);
  EXPECT_EQ(lbuf_clear(pool), 0);
  EXPECT_EQ(lbuf_count(pool), 0u);
  EXPECT_EQ(g_allocs, 3);
  EXPECT_EQ(g_releases, 3);
  lbuf_close(pool);

  lbuf_param none;
  lbuf* plain = lbuf_create(&none);
  EXPECT_EQ(lbuf_slab_malloc(plain), nullptr);  // no item size
  lbuf_close(plain);
}

TEST(Rbuf, FullRingDropsTheOldestAndCountsIt) {
  rbuf* r = rbuf_create(3, 10, false);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(rbuf_write(r, "a", 1), 0);
  EXPECT_EQ(rbuf_write(r, "bb", 2), 0);
  EXPECT_EQ(rbuf_write(r, "ccc", 3), 0);
  EXPECT_EQ(rbuf_write(r, "dddd", 4), 0);  // overwrites "a"
  EXPECT_EQ(rbuf_write(r, "12345678", 8), 0);  // the room of a slot: 10 - 2
  EXPECT_EQ(rbuf_write(r, "123456789", 9), -1);
  EXPECT_EQ(rbuf_write(r, "", 0), -1);
  rbuf_stat st = rbuf_get_stat(r);
  EXPECT_EQ(st.written, 5u);
  EXPECT_EQ(st.written_bytes, 18u);
  EXPECT_EQ(st.dropped, 2u);
  EXPECT_EQ(st.dropped_bytes, 3u);
  char buf[16];
  char tiny[2];
  EXPECT_EQ(rbuf_read(r, tiny, sizeof tiny, 0), -1);  // too small: the record stays
  EXPECT_EQ(rbuf_read(r, buf, sizeof buf, 0), 3);
  EXPECT_EQ(std::string(buf, 3), "ccc");
  EXPECT_EQ(rbuf_read(r, buf, sizeof buf, 0), 4);
  EXPECT_EQ(rbuf_read(r, buf, sizeof buf, 0), 8);
  EXPECT_EQ(rbuf_read(r, buf, sizeof buf, 0), 0);
  rbuf_close(r);
}

TEST(Rbuf, LargeRingsAndWaitingReaders) {
  rbuf* r = rbuf_create(2, 70000, true);
  ASSERT_NE(r, nullptr);
  std::string big(69996, 'x');
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(rbuf_write(r, big.data(), static_cast<uint32_t>(big.size())), 0);
  });
  std::string buf(70000, '\0');
  EXPECT_EQ(rbuf_read(r, buf.data(), 70000, 5000), static_cast<int>(big.size()));
  writer.join();
  EXPECT_EQ(buf.substr(0, big.size()), big);
  rbuf_close(r);
  EXPECT_EQ(rbuf_create(0, 10, false), nullptr);
  EXPECT_EQ(rbuf_create(4, 2, false), nullptr);
}

}  // namespace
