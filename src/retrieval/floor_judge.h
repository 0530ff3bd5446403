// The answerability judge's provider: which judge (and confirmer) this process can reach.
// Until a judge helper is reachable the provider stays empty and ranking goes ungraded.
// The provider's lock guards both slots; any thread may read or set them.
#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace zelk {

enum class FloorVerdict { answers, unclear, none };

class FloorJudge {
 public:
  virtual ~FloorJudge() = default;
  virtual FloorVerdict judge(const std::string& query, const std::string& passage) = 0;
};

class FloorJudgeProvider {
 public:
  static FloorJudgeProvider& shared();

  // Judges are shared between the provider and the callers grading passages right now.
  std::shared_ptr<FloorJudge> judge();
  std::shared_ptr<FloorJudge> confirmer();
  void setJudge(std::shared_ptr<FloorJudge> judge);
  void setConfirmer(std::shared_ptr<FloorJudge> confirmer);
  bool hasJudge();

 private:
  std::mutex lock_;  // guards judge_ and confirmer_
  std::shared_ptr<FloorJudge> judge_;
  std::shared_ptr<FloorJudge> confirmer_;
};

namespace SharedFloorJudge {
// Starts making the judge available without waiting. This build has no judge client yet, so it
// leaves the provider empty.
void installInBackground();
// When no judge is set, tries once more; returns at once.
void retryIfMissing();
}  // namespace SharedFloorJudge

}  // namespace zelk
