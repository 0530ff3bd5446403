// The tool-call marker: a counter of running tool calls, and the empty file
// indexes/.ai-calls-now/<pid> that exists exactly while the counter is above zero.
// Any thread may call began/ended; one lock guards the counter and the marker file.
#pragma once

#include <string>

namespace zelk::ToolCalls {

void began();
void ended();
std::string markerPath();
int running();

}  // namespace zelk::ToolCalls
