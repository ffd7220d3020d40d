// Decoding ahead: which neighbours are chosen, what the cache keeps and
// evicts, the changed-on-disk rule, the worker's cancellation and shutdown,
// and the rules that keep a late result from showing for the wrong file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/folder.h"
#include "app/prefetch.h"
#include "imaging/imaging.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Fixture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

int Compare(const std::wstring& a, const std::wstring& b) { return LogicalCompare(a, b); }

TEST(Neighbours, NextThenPreviousOnceEach) {
  const std::vector<std::wstring> five = {L"a1.jpg", L"a2.jpg", L"a3.jpg", L"a10.jpg", L"b.png"};
  struct Case {
    std::vector<std::wstring> list;
    const wchar_t* name;
    std::vector<int> want;
  } cases[] = {
      {five, L"a3.jpg", {3, 1}},
      {five, L"a1.jpg", {1, 4}},              // the steps wrap: previous of the first is the last
      {five, L"b.png", {0, 3}},               // next of the last is the first
      {five, L"A3.JPG", {3, 1}},              // names without regard to case
      {five, L"a4.jpg", {3, 2}},              // gone from the list: from where it would stand
      {{L"a.jpg", L"b.jpg"}, L"a.jpg", {1}},  // next and previous are the same file
      {{L"a.jpg"}, L"a.jpg", {}},             // alone in its folder
      {{}, L"a.jpg", {}},
      {{L"a.jpg"}, L"b.jpg", {0}},  // the one other picture
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name, c.name + std::wcslen(c.name)));
    EXPECT_EQ(NeighbourIndices(c.list, c.name, Compare), c.want);
  }
}

TEST(Neighbours, BudgetIsAQuarterOfMemory) {
  EXPECT_EQ(PrefetchBudget(std::uint64_t{16} << 30), std::uint64_t{4} << 30);
  EXPECT_EQ(PrefetchBudget(0), 0u);
}

class Prefetch : public ::testing::Test {
 public:
  void SetUp() override { ASSERT_TRUE(decode_init()); }

  // A decoded record of a real file (a 32 × 16 JPEG: 2,048 bytes of pixels).
  static DecodedPtr Record(const std::wstring& path, const std::wstring& file) {
    auto d = std::make_unique<Decoded>();
    d->path = path;
    d->stamp = platform::StampOf(file);
    wchar_t err[256];
    d->picture = picture_load(file.c_str(), err, 256);
    return d;
  }
  static DecodedPtr Record(const std::wstring& path) {
    return Record(path, Fixture("dec_quad.jpg"));
  }
};

TEST_F(Prefetch, CacheKeepsOnlyWantedWholePicturesWithinItsLimits) {
  NeighbourCache cache(1 << 20, 2);
  cache.Want({L"b", L"c"});
  EXPECT_FALSE(cache.Put(Record(L"a")));  // not a neighbour
  EXPECT_TRUE(cache.Put(Record(L"b")));
  EXPECT_FALSE(cache.Put(Record(L"b")));  // held already
  DecodedPtr failed = Record(L"c");
  picture_free(failed->picture);
  failed->picture = nullptr;
  EXPECT_FALSE(cache.Put(std::move(failed)));  // the file did not decode
  DecodedPtr unstamped = Record(L"c");
  unstamped->stamp = platform::FileStamp{};
  EXPECT_FALSE(cache.Put(std::move(unstamped)));  // changed while it was read
  EXPECT_TRUE(cache.Put(Record(L"c")));
  EXPECT_EQ(cache.Count(), 2u);
  EXPECT_EQ(cache.BytesHeld(), 2u * 32 * 16 * 4);

  // Capacity: a third picture is refused even when wanted.
  cache.Want({L"b", L"c", L"d"});
  EXPECT_FALSE(cache.Put(Record(L"d")));
  // Stepping on: what is no longer a neighbour is freed at once.
  cache.Want({L"c", L"d"});
  EXPECT_FALSE(cache.Holds(L"b"));
  EXPECT_TRUE(cache.Holds(L"c"));
  EXPECT_TRUE(cache.Put(Record(L"d")));

  // Budget: two pictures of 2,048 bytes do not fit in 3,000.
  NeighbourCache small(3000, 2);
  small.Want({L"x", L"y"});
  EXPECT_TRUE(small.Put(Record(L"x")));
  EXPECT_FALSE(small.Put(Record(L"y")));
  NeighbourCache none(100, 2);
  none.Want({L"x"});
  EXPECT_FALSE(none.Put(Record(L"x")));
}

TEST_F(Prefetch, CacheHandsBackOnlyUnchangedFiles) {
  const std::wstring dir = ScratchDir("prefetch_stamp");
  const std::wstring file = dir + L"/p.jpg";
  const std::vector<std::uint8_t> bytes = ReadBytes(Fixture("dec_quad.jpg"));
  WriteBytes(file, bytes);
  NeighbourCache cache(1 << 20, 2);
  cache.Want({file});
  ASSERT_TRUE(cache.Put(Record(file, file)));
  DecodedPtr d = cache.Take(file, platform::StampOf(file));
  ASSERT_NE(d, nullptr);
  EXPECT_FALSE(cache.Holds(file));  // taken out
  EXPECT_EQ(cache.Take(file, platform::StampOf(file)), nullptr);

  // Written again since it was read (another size): decoded again, and the
  // stale record is freed.
  ASSERT_TRUE(cache.Put(std::move(d)));
  std::vector<std::uint8_t> longer = bytes;
  longer.push_back(0);
  WriteBytes(file, longer);
  EXPECT_EQ(cache.Take(file, platform::StampOf(file)), nullptr);
  EXPECT_FALSE(cache.Holds(file));
  // Gone from the disk.
  ASSERT_TRUE(cache.Put(Record(file, file)));
  ASSERT_TRUE(platform::RemoveFile(file));
  EXPECT_EQ(cache.Take(file, platform::StampOf(file)), nullptr);
}

// A decode function the test holds at a gate, and what was posted.
struct Harness {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  std::vector<std::wstring> started;
  std::vector<Decoded*> posted;

  DecodeWorker::DecodeFn Decode() {
    return [this](const DecodeWorker::Job& job) {
      {
        std::unique_lock<std::mutex> lock(m);
        started.push_back(job.path);
        cv.notify_all();
        cv.wait(lock, [this] { return open; });
      }
      return Prefetch::Record(job.path);
    };
  }
  DecodeWorker::Post Post() {
    return [this](Decoded* d) {
      std::lock_guard<std::mutex> lock(m);
      posted.push_back(d);
      return true;
    };
  }
  void WaitStarted(std::size_t n) {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return started.size() >= n; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m);
    open = true;
    cv.notify_all();
  }
  ~Harness() {
    for (Decoded* d : posted) delete d;
  }
};

DecodeWorker::Job JobFor(const std::wstring& path, std::uint64_t generation) {
  DecodeWorker::Job job;
  job.path = path;
  job.generation = generation;
  return job;
}

TEST_F(Prefetch, WorkerDropsQueuedJobsWhenCleared) {
  Harness h;
  DecodeWorker worker(h.Post(), h.Decode());
  worker.Push(JobFor(L"one", 1));
  worker.Push(JobFor(L"two", 1));
  worker.Push(JobFor(L"three", 1));
  h.WaitStarted(1);
  EXPECT_EQ(worker.Running(), L"one");
  EXPECT_TRUE(worker.Busy(L"one"));
  EXPECT_TRUE(worker.Busy(L"three"));
  worker.Clear();  // the user went elsewhere
  EXPECT_FALSE(worker.Busy(L"three"));
  worker.Push(JobFor(L"four", 2));
  h.Open();
  worker.WaitIdle();
  ASSERT_EQ(h.posted.size(), 2u);
  EXPECT_EQ(h.posted[0]->path, L"one");
  EXPECT_EQ(h.posted[0]->generation, 1u);
  EXPECT_EQ(h.posted[1]->path, L"four");
  EXPECT_EQ(h.posted[1]->generation, 2u);
  EXPECT_EQ(h.started, (std::vector<std::wstring>{L"one", L"four"}));
}

TEST_F(Prefetch, StoppingWithADecodeInFlightPostsNothingAndLeaksNothing) {
  Harness h;
  auto worker = std::make_unique<DecodeWorker>(h.Post(), h.Decode());
  worker->Push(JobFor(L"one", 1));
  worker->Push(JobFor(L"two", 1));
  h.WaitStarted(1);
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    h.Open();
  });
  worker->Stop();  // waits for "one", which is then freed, not posted
  opener.join();
  EXPECT_TRUE(h.posted.empty());
  EXPECT_EQ(h.started.size(), 1u);
  worker->Push(JobFor(L"three", 1));  // after Stop: ignored
  worker.reset();
  EXPECT_TRUE(h.posted.empty());
}

TEST_F(Prefetch, RefusedPostsAreFreed) {
  // Under the sanitizers a record the window could not take would show as
  // a leak.
  DecodeWorker worker([](Decoded*) { return false; },
                      [](const DecodeWorker::Job& job) { return Prefetch::Record(job.path); });
  worker.Push(JobFor(L"one", 1));
  worker.WaitIdle();
}

TEST_F(Prefetch, LateResultsNeverShowForTheWrongFile) {
  Harness h;
  h.Open();
  Prefetcher p(1 << 20, h.Post(), h.Decode());
  const std::uint64_t first = p.Begin();
  p.DecodeWhole(L"a", nullptr);
  p.Worker().WaitIdle();
  ASSERT_EQ(h.posted.size(), 1u);
  Decoded* wholeA = h.posted[0];
  h.posted.clear();
  EXPECT_EQ(wholeA->generation, first);
  EXPECT_EQ(wholeA->kind, Decoded::Kind::Whole);

  // The user stepped to "b" before the whole picture of "a" arrived: it is
  // not the picture on display; as a neighbour of "b" it is kept.
  p.Begin();
  p.Want({L"c", L"a"}, nullptr, nullptr);
  p.Worker().WaitIdle();
  EXPECT_EQ(p.Receive(wholeA), nullptr);
  EXPECT_TRUE(p.Cache().Holds(L"a"));
  // Both were queued as neighbours (the late picture was still on its way);
  // they arrive as neighbours, and the second "a" is not kept twice.
  ASSERT_EQ(h.posted.size(), 2u);
  EXPECT_EQ(h.posted[0]->path, L"c");
  EXPECT_EQ(h.posted[0]->kind, Decoded::Kind::Neighbour);
  for (Decoded* d : h.posted) EXPECT_EQ(p.Receive(d), nullptr);
  h.posted.clear();
  EXPECT_TRUE(p.Cache().Holds(L"c"));
  EXPECT_EQ(p.Cache().Count(), 2u);

  // The whole picture of the file on display is handed back.
  const std::uint64_t third = p.Begin();
  p.DecodeWhole(L"d", nullptr);
  p.Worker().WaitIdle();
  ASSERT_EQ(h.posted.size(), 1u);
  DecodedPtr back = p.Receive(h.posted[0]);
  h.posted.clear();
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->path, L"d");
  EXPECT_EQ(back->generation, third);

  // A late neighbour no longer wanted is freed.
  p.Begin();
  p.Want({L"e"}, nullptr, nullptr);
  EXPECT_FALSE(p.Cache().Holds(L"a"));
  p.Worker().WaitIdle();
  EXPECT_EQ(p.Receive(Record(L"z").release()), nullptr);
  EXPECT_FALSE(p.Cache().Holds(L"z"));
  for (Decoded* d : h.posted) p.Receive(d);
  h.posted.clear();
  EXPECT_TRUE(p.Cache().Holds(L"e"));
}

TEST_F(Prefetch, WantKeepsThePreviousPictureAndQueuesOnlyWhatIsMissing) {
  Harness h;
  h.Open();
  Prefetcher p(1 << 20, h.Post(), h.Decode());
  p.Begin();
  // Stepping from "b" to "c": "b" becomes the previous neighbour without a
  // decode, "d" is the only one queued.
  p.Want({L"d", L"b"}, Record(L"b"), nullptr);
  p.Worker().WaitIdle();
  EXPECT_TRUE(p.Cache().Holds(L"b"));
  EXPECT_EQ(h.started, (std::vector<std::wstring>{L"d"}));
  for (Decoded* d : h.posted) p.Receive(d);
  h.posted.clear();
  // Asking again decodes nothing more.
  p.Begin();
  p.Want({L"d", L"b"}, nullptr, nullptr);
  p.Worker().WaitIdle();
  EXPECT_EQ(h.started.size(), 1u);
  // A picture on display that is not a neighbour (a file opened elsewhere)
  // is freed.
  p.Begin();
  p.Want({L"d", L"b"}, Record(L"q"), nullptr);
  EXPECT_FALSE(p.Cache().Holds(L"q"));
  // A reduced first look is never kept as a neighbour.
  DecodedPtr reduced = std::make_unique<Decoded>();
  reduced->path = L"b2";
  reduced->stamp = platform::StampOf(Fixture("red_photo.jpg"));
  reduced->picture =
      picture_load_reduced(Fixture("red_photo.jpg").c_str(), [](int, int) { return 0.25; });
  ASSERT_NE(reduced->picture, nullptr);
  p.Begin();
  p.Want({L"b2"}, std::move(reduced), nullptr);
  EXPECT_FALSE(p.Cache().Holds(L"b2"));
  p.Stop();
  EXPECT_EQ(p.Cache().Count(), 0u);
}

TEST_F(Prefetch, DecodeFileMakesTheViewAtTheShownSize) {
  DecodeWorker::Job job;
  job.path = Fixture("red_photo.jpg");
  job.viewSize = [](int w, int h, int* vw, int* vh) {
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    *vw = 100, *vh = 75;
  };
  DecodedPtr d = DecodeWorker::DecodeFile(job);
  ASSERT_NE(d->picture, nullptr);
  EXPECT_EQ(picture_reduction(d->picture), 1);
  EXPECT_TRUE(d->stamp.known);
  ASSERT_NE(d->view, nullptr);
  EXPECT_EQ(d->viewW, 100);
  EXPECT_EQ(d->viewH, 75);
  EXPECT_EQ(d->Bytes(), 320u * 240 * 4 + 100 * 75 * 4);

  // Shown at its own size or larger: no scaled copy.
  job.viewSize = [](int w, int h, int* vw, int* vh) { *vw = w, *vh = h; };
  d = DecodeWorker::DecodeFile(job);
  EXPECT_EQ(d->view, nullptr);
  // A file that does not decode gives a record without a picture.
  job.path = Fixture("no_such_file_here.jpg");
  d = DecodeWorker::DecodeFile(job);
  EXPECT_EQ(d->picture, nullptr);
  EXPECT_FALSE(d->stamp.known);
}

// A decode that runs until it is cancelled (or a long while passes).
DecodedPtr UntilCancelled(const DecodeWorker::Job& job, std::atomic<int>* started) {
  ++*started;
  for (int i = 0; i < 5000 && !img::CancelRequested(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return Prefetch::Record(job.path);
}

TEST_F(Prefetch, ADecodeNoLongerWantedStopsAndPostsNothing) {
  std::atomic<int> started{0};
  std::mutex m;
  std::vector<std::wstring> posted;
  auto post = [&](Decoded* d) {
    std::lock_guard<std::mutex> lock(m);
    posted.push_back(d->path);
    delete d;
    return true;
  };
  Prefetcher p(1 << 20, post, [&](const DecodeWorker::Job& job) {
    // "b" decodes at once; the others until they are stopped.
    if (job.path == L"b") return Prefetch::Record(job.path);
    return UntilCancelled(job, &started);
  });
  p.Begin();
  p.Want({L"a"}, nullptr, nullptr);
  while (started.load() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Still a neighbour of the next picture: it goes on (and is stopped only
  // when the test stops it below).
  p.Begin();
  p.Want({L"a", L"b"}, nullptr, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(p.Worker().Running(), L"a");
  // No longer a neighbour: stopped at once, nothing posted, and the next job
  // runs with the stop forgotten.
  p.Begin();
  p.Want({L"b"}, nullptr, nullptr);
  p.Worker().WaitIdle();
  {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(posted, (std::vector<std::wstring>{L"b"}));
  }
  // The whole picture of the file on display is never stopped by Want.
  p.Begin();
  p.DecodeWhole(L"c", nullptr);
  while (started.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  p.Want({L"b"}, nullptr, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(p.Worker().Running(), L"c");
  // Stopping ends it without waiting for its end.
  const auto t0 = std::chrono::steady_clock::now();
  p.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
  std::lock_guard<std::mutex> lock(m);
  EXPECT_EQ(posted, (std::vector<std::wstring>{L"b"}));
}

// JPEG, PNG (plain and interlaced) and TIFF (strips and tiles) decodes
// give up when their thread's cancel flag is set.
TEST_F(Prefetch, DecodeGivesUpWhenCancelled) {
  for (const char* file : {"red_photo.jpg", "dec17b_rows.png", "png_interlaced.png", "tiff_be.tif",
                           "dec17_lab16_tiles.tif"}) {
    SCOPED_TRACE(file);
    std::atomic<bool> cancel{true};
    img::SetThreadCancelFlag(&cancel);
    wchar_t err[256];
    Picture* stopped = picture_load(Fixture(file).c_str(), err, 256);
    cancel = false;
    Picture* whole = picture_load(Fixture(file).c_str(), err, 256);
    img::SetThreadCancelFlag(nullptr);
    EXPECT_EQ(stopped, nullptr);
    EXPECT_NE(whole, nullptr);
    picture_free(stopped);
    picture_free(whole);
  }
}

}  // namespace
