// The loop's sample period in the analysis tests: the control work's 10 ms.
#pragma once

#include <numbers>

namespace analysis::test_loop {

inline constexpr double kT = 0.01;
inline constexpr double kPi = std::numbers::pi;

}  // namespace analysis::test_loop
