// Results of grid candidates as text: one line per candidate, tab-separated,
// every number in its shortest exact form, so that shards written on several
// machines merge into exactly what one run gives.
//
//   # vboard-tune results 1
//   # objective: <what the trials ran, as the program names it>
//   # grid: kp=0.02:2 ki=0:0.4 kd=0:0.6 points=6,6,6 decades=2
//   # weights: iae=1,overshoot=0.1,ring=1,settling=10,current=0.5,max_clamp_share=0.25
//   # shard: 2/4
//   # index kp ki kd cost iae_deg_s overshoot_pct ring_deg settling_s peak_current_a clamp_share failures
//   1	0.02	0	0.006	...	-
//
// A shard K/N (1-based, as GNU parallel's job numbers) holds the candidates
// whose index i has i % N == K - 1, in rising order. A whole grid is shard 1/1.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "evaluation.h"
#include "gains_grid.h"

namespace tune {

struct Shard {
  std::size_t k = 1, n = 1;
  bool whole() const { return n == 1; }
  bool holds(std::size_t index) const { return index % n == k - 1; }
};
// "K/N" with 1 <= K <= N <= 10000; throws TuneError naming --shard.
Shard parse_shard(const std::string& text);
// The grid indices of the shard, rising.
std::vector<std::size_t> shard_indices(std::size_t grid_size, Shard shard);

struct Result {
  std::size_t index = 0;
  Gains gains;
  Evaluation eval;
};
// One line without its newline; parse_result_line throws std::invalid_argument.
std::string result_line(const Result& r);
Result parse_result_line(const std::string& line);

// The objective as a header line holds it: line breaks become spaces.
std::string one_line(std::string text);

struct ResultHeader {
  std::string objective;  // one line
  GridSpec grid;
  Weights weights;
  Shard shard;
};

struct ResultFile {
  ResultHeader header;
  std::vector<Result> results;  // index order
};

std::string results_text(const ResultFile& file);
// Written whole or not at all (files::AtomicFile); throws std::runtime_error.
void write_results(const std::string& path, const ResultFile& file);

// Reads and checks a results file: its header, and that its lines are
// exactly its shard's candidates of its grid, in order, with the grid's
// gains. Throws TuneError naming the file and line.
ResultFile read_results(const std::string& path);
ResultFile parse_results(const std::string& text, const std::string& name);

// The shards of one grid combined into the whole grid (shard 1/1): every
// shard 1..N exactly once, all with the same objective, grid and weights.
// `names` name the files in messages. Throws TuneError.
ResultFile merge_results(const std::vector<ResultFile>& shards, const std::vector<std::string>& names);

}  // namespace tune
