#include "protocol/command_line.h"

#include <csignal>

#include "protocol/mcp_server.h"
#include "retrieval/embedder.h"
#include "retrieval/floor_judge.h"
#include "sensitive/placeholder_numbering.h"
#include "sensitive/sensitive_data.h"

namespace zelk::CommandLine {
namespace {
std::vector<std::string>& storage() {
  static std::vector<std::string>* kept = new std::vector<std::string>;
  return *kept;
}
}  // namespace

const std::vector<std::string>& args() { return storage(); }

std::optional<unsigned short> parsePort(const std::string& text) {
  size_t i = 0;
  if (i < text.size() && text[i] == '+') ++i;
  if (i == text.size()) return std::nullopt;
  unsigned long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned long>(text[i] - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<unsigned short>(value);
}

Mode select(const std::vector<std::string>& a) {
  // The native host, the extension server and HTTP come with their own front ends; until those
  // are built their arguments fall through to the stdio session, as an unrecognised mode does.
  if (a.size() >= 3 && a[1] == "--redact-test") return Mode::redactTest;
  return Mode::stdio;
}

int main(int argc, char** argv) {
  auto& kept = storage();
  kept.assign(argv, argv + argc);
  // A client that closes its end must not kill the process mid-write.
  std::signal(SIGPIPE, SIG_IGN);

  // Installing the model is a one-off command, run before anything starts in the background.
  if (kept.size() >= 3 && kept[1] == "--install-model") return Embedder::installModelMain(kept[2]);

  SharedFloorJudge::installInBackground();
  Mode mode = select(kept);
  if (mode == Mode::redactTest) {
    // An unreadable file falls through to the later modes.
    if (auto status = SensitiveData::redactTestMain(kept[2])) return *status;
    mode = Mode::stdio;
  }
  switch (mode) {
    case Mode::stdio:
    default: {
      // One numbering for the whole connection: a value keeps its placeholder while the app
      // stays connected.
      PlaceholderNumbering::setConnection(std::make_shared<PlaceholderNumbering>());
      MCPServer server(/*negotiateVersion=*/false);
      server.run();
      return 0;
    }
  }
}

}  // namespace zelk::CommandLine
