// Fuzzes one input line of the stdio session: decoding, dispatch and encoding of the answer.
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "protocol/json_value.h"
#include "protocol/mcp_server.h"
#include "retrieval/floor_judge.h"

namespace {
// A judge that is always there keeps initialize from starting its warm-up thread per input.
class PresentJudge : public zelk::FloorJudge {
 public:
  zelk::FloorVerdict judge(const std::string&, const std::string&) override {
    return zelk::FloorVerdict::unclear;
  }
};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Marker files go to a private folder, never the real support directory.
  static std::string home = (std::filesystem::temp_directory_path() / "zelk-fuzz-home").string();
  std::filesystem::create_directories(home);
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
  setenv("ZELK_PREFS_PATH", (home + "/prefs.json").c_str(), 1);
  zelk::FloorJudgeProvider::shared().setJudge(std::make_shared<PresentJudge>());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static zelk::MCPServer server(false);
  std::string_view line(reinterpret_cast<const char*>(data), size);
  if (line.find('\n') != std::string_view::npos) return 0;  // one line at a time
  if (auto out = server.respond(line)) {
    // Every answer is one line of valid JSON.
    if (out->find('\n') != std::string::npos) std::abort();
    zelk::JSONValue::parse(*out);
  }
  return 0;
}
