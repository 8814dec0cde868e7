#include "updater/core/download_queue.h"

#include <exception>
#include <map>

#include "updater/core/partial_cache_folder.h"

// The dialog's reports come from several transfers at once: they reach it one
// at a time, and the progress bar's step is set again whenever the chunk it
// counts belongs to another file than the step last set.
class DownloadQueue::SharedProgress {
 public:
  explicit SharedProgress(UpdateObserver* dialog) : dialog_(dialog) {}

  class Row : public DownloadProgress {
   public:
    Row(SharedProgress& shared, std::string filePath) : shared_(shared), filePath_(std::move(filePath)) {}

    void Started(int32_t announcedLength, int32_t step) override {
      step_ = step;
      std::lock_guard<std::mutex> lock(shared_.mutex_);
      shared_.SetStep(step);
      shared_.dialog_->ReportFileProgress(filePath_, DownloadStarted, announcedLength);
    }
    void Received(int32_t bytesSoFar) override {
      std::lock_guard<std::mutex> lock(shared_.mutex_);
      shared_.SetStep(step_);
      shared_.dialog_->StepProgress();
      shared_.dialog_->ReportFileProgress(filePath_, Downloading, bytesSoFar);
    }
    void Finished(int32_t bytes) override {
      std::lock_guard<std::mutex> lock(shared_.mutex_);
      shared_.dialog_->ReportFileProgress(filePath_, Downloaded, bytes);
    }

   private:
    SharedProgress& shared_;
    std::string filePath_;
    int32_t step_ = 0;
  };

 private:
  void SetStep(int32_t step) {
    if (step == lastStep_) return;
    lastStep_ = step;
    dialog_->SetProgressStep(step);
  }

  UpdateObserver* dialog_;
  std::mutex mutex_;  // one report at a time; guards lastStep_
  int32_t lastStep_ = -1;
};

struct DownloadQueue::Worker {
  DownloadClient client;
  std::thread thread;
};

DownloadQueue::DownloadQueue(DownloadClient& lead, UpdateObserver* observer, std::vector<FilePlan> plans,
                             std::function<bool(const std::string&)> mayFetch)
    : lead_(lead), plans_(std::move(plans)), mayFetch_(std::move(mayFetch)) {
  if (observer != nullptr) progress_ = std::make_unique<SharedProgress>(observer);
  for (std::size_t i = 0; i < plans_.size(); ++i) files_.push_back(std::make_unique<FetchedFile>());
  states_.assign(plans_.size(), State::Waiting);
  std::map<std::string, std::size_t> lastOfKey;
  for (std::size_t i = 0; i < plans_.size(); ++i) {
    const auto [at, added] = lastOfKey.try_emplace(PartialKeyFor(plans_[i].whole), i);
    sameKeyBefore_.push_back(added ? std::string::npos : at->second);
    at->second = i;
  }
  const std::size_t count = plans_.size() < kTransfersAtOnce ? plans_.size() : kTransfersAtOnce;
  if (count > 1) line_ = std::make_unique<SharedLine>(lead_.bounds);
  for (std::size_t i = 0; i < count; ++i) {
    auto worker = std::make_unique<Worker>();
    worker->client.timeouts = lead_.timeouts;
    worker->client.bounds = lead_.bounds;
    worker->client.line = line_.get();
    lead_.AddFollower(&worker->client);
    workers_.push_back(std::move(worker));
  }
  for (auto& worker : workers_) {
    Worker* w = worker.get();
    w->thread = std::thread([this, w] { Work(*w); });
  }
}

DownloadQueue::~DownloadQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  // Every transfer is stopped before any is waited for, so that they end
  // side by side rather than one after the other.
  for (auto& worker : workers_) worker->client.Cancel();
  for (auto& worker : workers_) {
    if (worker->thread.joinable()) worker->thread.join();
    lead_.RemoveFollower(&worker->client);
  }
}

FetchedFile* DownloadQueue::Wait(std::size_t index) {
  std::unique_lock<std::mutex> lock(mutex_);
  waiting_ = index;
  changed_.notify_all();
  changed_.wait(lock, [&] { return states_[index] == State::Ready || states_[index] == State::Failed; });
  return states_[index] == State::Ready ? files_[index].get() : nullptr;
}

void DownloadQueue::Work(Worker& worker) {
  for (;;) {
    std::size_t index = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock,
                    [&] { return stopping_ || next_ >= plans_.size() || next_ <= waiting_ + kFilesAhead; });
      if (stopping_ || next_ >= plans_.size()) return;
      index = next_++;
      states_[index] = State::Running;
      // The earlier file of the same key holds the entry until the install
      // loop has put it in place or dropped it; the loop never waits for a
      // later file meanwhile, so this cannot block it.
      const std::size_t before = sameKeyBefore_[index];
      changed_.wait(lock, [&] { return stopping_ || before == std::string::npos || waiting_ > before; });
      if (stopping_) return;
    }
    const bool ok = FetchOne(worker, index);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      states_[index] = ok ? State::Ready : State::Failed;
    }
    changed_.notify_all();
  }
}

bool DownloadQueue::FetchOne(Worker& worker, std::size_t index) {
  const FilePlan& plan = plans_[index];
  // Nothing may leave a queue thread as an exception: a file that cannot be
  // written fails that file, like any failed download.
  try {
    if (mayFetch_ && !mayFetch_(plan.whole.filePath)) return false;
    if (!progress_) return FetchPatchedOrWhole(worker.client, plan, nullptr, *files_[index]);
    SharedProgress::Row row(*progress_, plan.whole.filePath);
    return FetchPatchedOrWhole(worker.client, plan, &row, *files_[index]);
  } catch (const std::exception&) {
    return false;
  }
}
