// Pictures decoded away from the window thread: one worker that decodes the
// whole picture behind a reduced first look and the neighbours of the
// picture on display, and the cache that holds the neighbours until the user
// steps to one. The window thread calls every member; the worker only
// produces Decoded records and hands each over through `post` with the
// generation it was asked for, so a result that arrives late is recognised.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "decode/decode.h"
#include "platform/platform.h"

// The size a picture of w × h is shown at when it is opened (its fit size):
// the size of the ready-scaled copy made with it. Called on the worker, so
// it works on a copy of the window's layout, never on the window.
using ViewSizeFn = std::function<void(int w, int h, int* viewW, int* viewH)>;

// One file decoded by the worker.
struct Decoded {
  enum class Kind { Whole, Neighbour };
  Kind kind = Kind::Neighbour;
  std::uint64_t generation = 0;
  std::wstring path;
  platform::FileStamp stamp;  // the file's when it was read
  Picture* picture = nullptr;
  PictureBitmap view = nullptr;  // the picture at viewW × viewH, or null
  int viewW = 0, viewH = 0;

  Decoded() = default;
  Decoded(const Decoded&) = delete;
  Decoded& operator=(const Decoded&) = delete;
  ~Decoded();
  // The pixel memory held (picture and view).
  std::uint64_t Bytes() const;
};
using DecodedPtr = std::unique_ptr<Decoded>;

// The neighbours of `name` in `list` (sorted by `compare`): the picture the
// next step opens, then the one the previous step opens, each once and never
// `name` itself.
std::vector<int> NeighbourIndices(const std::vector<std::wstring>& list, const std::wstring& name,
                                  int (*compare)(const std::wstring&, const std::wstring&));

// Pixel memory the neighbours may take: a quarter of physical memory.
std::uint64_t PrefetchBudget(std::uint64_t physicalBytes);

// The decoded neighbours, at most `capacity` and `budget` bytes of pixels.
class NeighbourCache {
 public:
  NeighbourCache(std::uint64_t budget, std::size_t capacity);
  // The files to keep; every record of another file is freed at once.
  void Want(const std::vector<std::wstring>& paths);
  bool Wanted(const std::wstring& path) const;
  bool Holds(const std::wstring& path) const;
  // Keeps a decoded whole picture of a wanted file not held yet when it fits
  // the budget; anything else is freed. True when kept.
  bool Put(DecodedPtr d);
  // The record of `path`, taken out of the cache, when the file still has
  // the stamp it was read with; a record of a changed file is freed.
  DecodedPtr Take(const std::wstring& path, const platform::FileStamp& now);
  std::uint64_t BytesHeld() const;
  std::size_t Count() const { return held_.size(); }

 private:
  std::uint64_t budget_;
  std::size_t capacity_;
  std::vector<std::wstring> wanted_;
  std::vector<DecodedPtr> held_;
};

// The worker thread and its queue of jobs.
class DecodeWorker {
 public:
  struct Job {
    Decoded::Kind kind = Decoded::Kind::Neighbour;
    std::uint64_t generation = 0;
    std::wstring path;
    ViewSizeFn viewSize;
  };
  // Hands a record to the window thread; false when it could not (the
  // worker then frees it).
  using Post = std::function<bool(Decoded*)>;
  using DecodeFn = std::function<DecodedPtr(const Job&)>;

  // `decode` defaults to DecodeFile.
  explicit DecodeWorker(Post post, DecodeFn decode = DecodeFn());
  ~DecodeWorker();
  DecodeWorker(const DecodeWorker&) = delete;
  DecodeWorker& operator=(const DecodeWorker&) = delete;

  void Push(Job job);
  // Drops the jobs not started yet; the one in progress runs to its end.
  void Clear();
  // Stops the job in progress (as far as its codec can: a JPEG at its next
  // row) unless `keep` says it is still wanted; a stopped job posts nothing.
  void CancelRunningUnless(const std::function<bool(const Job&)>& keep);
  // Clear, stops the job in progress (as CancelRunningUnless does) and ends
  // the thread. Nothing is posted after it returns.
  void Stop();
  // The file of the job in progress ("" when idle).
  std::wstring Running() const;
  // Whether a job for `path` is queued or in progress.
  bool Busy(const std::wstring& path) const;
  // Waits until the queue is empty and no job runs (tests and benchmarks).
  void WaitIdle();

  // Reads and decodes one file: the whole picture with a copy scaled to
  // the job's view size. Null picture when the file does not decode.
  static DecodedPtr DecodeFile(const Job& job);

 private:
  void Run();

  Post post_;
  DecodeFn decode_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Job> queue_;
  Job current_;  // the job in progress (an empty path when idle)
  std::atomic<bool> cancel_{false};
  bool busy_ = false;
  bool stop_ = false;
  std::thread thread_;
};

// The window's side of it: what to show when a file is opened and what to
// decode next.
class Prefetcher {
 public:
  Prefetcher(std::uint64_t budget, DecodeWorker::Post post,
             DecodeWorker::DecodeFn decode = DecodeWorker::DecodeFn());

  // A new file is opened: queued work is dropped and results of earlier
  // generations no longer count as the picture on display.
  std::uint64_t Begin();
  std::uint64_t Generation() const { return generation_; }
  // A ready neighbour for `path` whose file is unchanged, or null.
  DecodedPtr Take(const std::wstring& path);
  // The picture on display is a reduced first look: decode the whole one
  // first of all.
  void DecodeWhole(const std::wstring& path, ViewSizeFn viewSize);
  // The neighbours to have ready: the others are freed, `previous` (the
  // picture that was on display) is kept when it is one of them, and the
  // missing ones are queued.
  void Want(const std::vector<std::wstring>& paths, DecodedPtr previous, ViewSizeFn viewSize);
  // A record the worker posted: the whole picture of the file on display is
  // returned; a neighbour still wanted is kept; anything else is freed.
  DecodedPtr Receive(Decoded* d);
  // Ends the worker and frees every record held.
  void Stop();

  const NeighbourCache& Cache() const { return cache_; }
  DecodeWorker& Worker() { return worker_; }

 private:
  std::uint64_t generation_ = 0;
  NeighbourCache cache_;
  DecodeWorker worker_;
};
