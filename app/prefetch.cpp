// The worker, the neighbour cache and the rules between them.
#include "app/prefetch.h"

#include <algorithm>

#include "app/folder.h"
#include "imaging/imaging.h"

Decoded::~Decoded() {
  picture_free(picture);
  bitmap_delete(view);
}

std::uint64_t Decoded::Bytes() const {
  const std::uint64_t p = static_cast<std::uint64_t>(picture_pixel_width(picture)) *
                          static_cast<std::uint64_t>(picture_pixel_height(picture)) * 4;
  const std::uint64_t v = view ? static_cast<std::uint64_t>(viewW) * viewH * 4 : 0;
  return p + v;
}

std::vector<int> NeighbourIndices(const std::vector<std::wstring>& list, const std::wstring& name,
                                  int (*compare)(const std::wstring&, const std::wstring&)) {
  std::vector<int> out;
  for (int step : {1, -1}) {
    const int i = SiblingTarget(list, name, step, compare);
    if (i < 0 || SameName(list[static_cast<std::size_t>(i)], name)) continue;
    if (std::find(out.begin(), out.end(), i) == out.end()) out.push_back(i);
  }
  return out;
}

std::uint64_t PrefetchBudget(std::uint64_t physicalBytes) { return physicalBytes / 4; }

// --- the cache -------------------------------------------------------------------

NeighbourCache::NeighbourCache(std::uint64_t budget, std::size_t capacity)
    : budget_(budget), capacity_(capacity) {}

void NeighbourCache::Want(const std::vector<std::wstring>& paths) {
  wanted_ = paths;
  std::erase_if(held_, [this](const DecodedPtr& d) { return !Wanted(d->path); });
}

bool NeighbourCache::Wanted(const std::wstring& path) const {
  return std::find(wanted_.begin(), wanted_.end(), path) != wanted_.end();
}

bool NeighbourCache::Holds(const std::wstring& path) const {
  return std::any_of(held_.begin(), held_.end(),
                     [&](const DecodedPtr& d) { return d->path == path; });
}

bool NeighbourCache::Put(DecodedPtr d) {
  if (!d || !d->picture || picture_reduction(d->picture) != 1 || !d->stamp.known ||
      !Wanted(d->path) || Holds(d->path) || held_.size() >= capacity_) {
    return false;
  }
  if (d->Bytes() > budget_ || BytesHeld() > budget_ - d->Bytes()) return false;
  held_.push_back(std::move(d));
  return true;
}

DecodedPtr NeighbourCache::Take(const std::wstring& path, const platform::FileStamp& now) {
  auto it = std::find_if(held_.begin(), held_.end(),
                         [&](const DecodedPtr& d) { return d->path == path; });
  if (it == held_.end()) return nullptr;
  DecodedPtr d = std::move(*it);
  held_.erase(it);
  if (!now.known || !(now == d->stamp)) return nullptr;  // changed since: decoded again
  return d;
}

std::uint64_t NeighbourCache::BytesHeld() const {
  std::uint64_t n = 0;
  for (const DecodedPtr& d : held_) n += d->Bytes();
  return n;
}

// --- the worker ------------------------------------------------------------------

DecodeWorker::DecodeWorker(Post post, DecodeFn decode)
    : post_(std::move(post)), decode_(decode ? std::move(decode) : DecodeFn(&DecodeFile)) {
  thread_ = std::thread([this] { Run(); });
}

DecodeWorker::~DecodeWorker() { Stop(); }

void DecodeWorker::Push(Job job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void DecodeWorker::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.clear();
  if (!busy_) idle_.notify_all();
}

void DecodeWorker::CancelRunningUnless(const std::function<bool(const Job&)>& keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (busy_ && !keep(current_)) cancel_.store(true);
}

void DecodeWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
    stop_ = true;
    // Nothing in progress is wanted any more.
    if (busy_) cancel_.store(true);
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

std::wstring DecodeWorker::Running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_.path;
}

bool DecodeWorker::Busy(const std::wstring& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (busy_ && current_.path == path) return true;
  return std::any_of(queue_.begin(), queue_.end(), [&](const Job& j) { return j.path == path; });
}

void DecodeWorker::WaitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return (queue_.empty() && !busy_) || stop_; });
}

void DecodeWorker::Run() {
  img::SetThreadCancelFlag(&cancel_);
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (stop_) break;
      job = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
      current_ = job;
      cancel_.store(false);
    }
    DecodedPtr d = decode_(job);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // After Stop, or once cancelled, nothing more is handed over.
      if (d && !stop_ && !cancel_.load()) {
        d->kind = job.kind;
        d->generation = job.generation;
        Decoded* raw = d.release();
        if (!post_(raw)) delete raw;
      }
      busy_ = false;
      current_ = Job();
    }
    idle_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = false;
  idle_.notify_all();
}

DecodedPtr DecodeWorker::DecodeFile(const Job& job) {
  auto d = std::make_unique<Decoded>();
  d->path = job.path;
  d->stamp = platform::StampOf(job.path);
  wchar_t err[256];
  d->picture = picture_load(job.path.c_str(), err, 256);
  // The stamp is taken before and after the read: a file written meanwhile
  // is not kept as it was.
  if (!(platform::StampOf(job.path) == d->stamp)) d->stamp = platform::FileStamp{};
  if (d->picture && job.viewSize) {
    int w = 0, h = 0;
    job.viewSize(picture_width(d->picture), picture_height(d->picture), &w, &h);
    const bool reduces = w < picture_width(d->picture) || h < picture_height(d->picture);
    if (w > 0 && h > 0 && reduces && !picture_animated(d->picture)) {
      d->view = picture_scaled(d->picture, w, h);
      if (d->view) d->viewW = w, d->viewH = h;
    }
  }
  return d;
}

// --- the rules -------------------------------------------------------------------

namespace {
// The current picture and at most the two neighbours.
constexpr std::size_t kNeighbours = 2;
}  // namespace

Prefetcher::Prefetcher(std::uint64_t budget, DecodeWorker::Post post, DecodeWorker::DecodeFn decode)
    : cache_(budget, kNeighbours), worker_(std::move(post), std::move(decode)) {}

std::uint64_t Prefetcher::Begin() {
  worker_.Clear();
  return ++generation_;
}

DecodedPtr Prefetcher::Take(const std::wstring& path) {
  return cache_.Take(path, platform::StampOf(path));
}

void Prefetcher::DecodeWhole(const std::wstring& path, ViewSizeFn viewSize) {
  DecodeWorker::Job job;
  job.kind = Decoded::Kind::Whole;
  job.generation = generation_;
  job.path = path;
  job.viewSize = std::move(viewSize);
  worker_.Push(std::move(job));
}

void Prefetcher::Want(const std::vector<std::wstring>& paths, DecodedPtr previous,
                      ViewSizeFn viewSize) {
  cache_.Want(paths);
  // A decode in progress for a file that is neither a neighbour now nor the
  // whole picture on display is stopped.
  worker_.CancelRunningUnless([this](const DecodeWorker::Job& job) {
    return cache_.Wanted(job.path) ||
           (job.kind == Decoded::Kind::Whole && job.generation == generation_);
  });
  if (previous) cache_.Put(std::move(previous));
  for (const std::wstring& path : paths) {
    // A neighbour being decoded already is kept when it arrives.
    if (cache_.Holds(path) || worker_.Busy(path)) continue;
    DecodeWorker::Job job;
    job.kind = Decoded::Kind::Neighbour;
    job.generation = generation_;
    job.path = path;
    job.viewSize = viewSize;
    worker_.Push(std::move(job));
  }
}

DecodedPtr Prefetcher::Receive(Decoded* raw) {
  DecodedPtr d(raw);
  if (!d) return nullptr;
  if (d->kind == Decoded::Kind::Whole && d->generation == generation_) return d;
  // Late or not: a whole picture of a file still wanted is kept as a
  // neighbour, checked against its file when it is taken.
  cache_.Put(std::move(d));
  return nullptr;
}

void Prefetcher::Stop() {
  worker_.Stop();
  cache_.Want({});
}
