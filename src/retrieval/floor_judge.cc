#include "retrieval/floor_judge.h"

namespace zelk {

FloorJudgeProvider& FloorJudgeProvider::shared() {
  static FloorJudgeProvider* provider = new FloorJudgeProvider;  // lives for the process
  return *provider;
}

std::shared_ptr<FloorJudge> FloorJudgeProvider::judge() {
  std::lock_guard lock(lock_);
  return judge_;
}

std::shared_ptr<FloorJudge> FloorJudgeProvider::confirmer() {
  std::lock_guard lock(lock_);
  return confirmer_;
}

void FloorJudgeProvider::setJudge(std::shared_ptr<FloorJudge> judge) {
  std::lock_guard lock(lock_);
  judge_ = std::move(judge);
}

void FloorJudgeProvider::setConfirmer(std::shared_ptr<FloorJudge> confirmer) {
  std::lock_guard lock(lock_);
  confirmer_ = std::move(confirmer);
}

bool FloorJudgeProvider::hasJudge() {
  std::lock_guard lock(lock_);
  return judge_ != nullptr;
}

namespace SharedFloorJudge {
void installInBackground() {}
void retryIfMissing() {}
}  // namespace SharedFloorJudge

}  // namespace zelk
