// The cross-process search gate: marker files that tell indexers an AI search is running here.
// began/ended may be called from any thread; the lock keeps one process's lines in order.
#pragma once

#include <string>

namespace zelk::SearchGate {

// Takes one hold and writes "running {now}".
void began();
// Releases one hold (never below zero); the last one writes "ended {now}".
void ended();
// Writes this process's marker file atomically; errors are ignored.
void write(const std::string& text);
// Whether any process has a recent search: "running" under 600 s, anything else under 15 s.
// Deletes markers of dead processes and badly named files.
bool busy();
// The ".ai-call" directory in the index directory.
std::string markerDirectory();
// Holds taken in this process (for tests and diagnostics).
int holds();

}  // namespace zelk::SearchGate
