// SPDX-License-Identifier: MIT
// quorvane-board's command line.
#pragma once

#include "simulator/runner.h"

#include <ostream>
#include <variant>

namespace quorvane::sim {

// The options the command line asks for, or the status to end with at once: 0 after --help
// or --version (written to `out`), 2 after a refusal (said on `err`).
std::variant<Options, int> parseArguments(int argc, char **argv, std::ostream &out,
                                          std::ostream &err);

} // namespace quorvane::sim
