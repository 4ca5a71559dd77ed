// The tuned gains handed to the user: a scenario file that carries them in
// its [gains] table, and the line that says how else to use them.
#pragma once

#include <string>
#include <string_view>

#include "gains_grid.h"

namespace tune {

// The [gains] table, exact numbers, after `comment` (each of its lines
// becomes a TOML comment).
std::string gains_table(const Gains& gains, const std::string& comment);

// `scenario` (the text of a scenario file) with its gains replaced: a
// [gains] table, or root-level gains keys, are taken out (their comments
// stay) and gains_table() is added at the end. The result is read back as
// a scenario and must give exactly these gains; throws std::runtime_error
// naming `name` otherwise.
std::string with_gains(std::string_view scenario, const Gains& gains, const std::string& comment,
                       const std::string& name);

// Written whole or not at all (files::AtomicFile); throws std::runtime_error.
void write_scenario(const std::string& path, const std::string& text);

// How to use the gains: vboard-run's --gains, a scenario's [gains] table
// (`scenario_path` when one was written), or the image's initial values.
std::string how_to_use(const Gains& gains, const std::string& scenario_path);

}  // namespace tune
