// torvelin soak: everything at once for a given time - clients opening,
// closing, reading, writing, changing filters and reading statistics;
// suspend, resume and abort events; PCI resources moving under HaDetect;
// injected receive errors and controller faults - while invariants are
// checked all along: no crash, no deadlock, a paced reader gets every frame
// once and in order, counters agree, nothing leaks.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/torvelin/commands.h"

namespace tool {

// Adds the "soak" subcommand to `app`.
Subcommand AddSoakCommand(CLI::App& app);

}  // namespace tool
