#include "scenario_out.h"

#include <cctype>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "output_files.h"
#include "scenario.h"

namespace tune {

namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())) != 0) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())) != 0) s.remove_suffix(1);
  return s;
}

// A table heading's name: "[gains]  # x" gives "gains"; "[[press]]" gives "[press]".
std::string heading(std::string_view line) {
  line = trimmed(line.substr(0, line.find('#')));
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return {};
  std::string name;
  for (char c : line.substr(1, line.size() - 2)) {
    if (std::isspace(static_cast<unsigned char>(c)) == 0) name += c;
  }
  return name;
}

// A root-level key of the gains: "gains = {...}" or "gains.kp = ...".
bool gains_key(std::string_view line) {
  line = trimmed(line);
  if (line.substr(0, 5) != "gains") return false;
  line = trimmed(line.substr(5));
  return !line.empty() && (line.front() == '=' || line.front() == '.');
}

bool comment_or_blank(std::string_view line) {
  line = trimmed(line);
  return line.empty() || line.front() == '#';
}

}  // namespace

std::string gains_table(const Gains& g, const std::string& comment) {
  std::string text;
  std::istringstream lines(comment);
  std::string line;
  while (std::getline(lines, line)) text += line.empty() ? "#\n" : "# " + line + "\n";
  text += "[gains]\nkp = " + number_text(g.kp) + "\nki = " + number_text(g.ki) + "\nkd = " + number_text(g.kd) + "\n";
  return text;
}

std::string with_gains(std::string_view scenario, const Gains& g, const std::string& comment, const std::string& name) {
  std::string text;
  bool at_root = true, in_gains = false;
  while (!scenario.empty()) {
    const auto nl = scenario.find('\n');
    const std::string_view line = scenario.substr(0, nl == std::string_view::npos ? scenario.size() : nl + 1);
    scenario.remove_prefix(line.size());
    const std::string table = heading(line);
    if (!table.empty()) {
      at_root = false;
      in_gains = table == "gains";
      if (in_gains) continue;
    } else if ((in_gains || (at_root && gains_key(line))) && !comment_or_blank(line)) {
      continue;
    }
    text += line;
  }
  if (!text.empty() && text.back() != '\n') text += '\n';
  if (!text.empty()) text += '\n';
  text += gains_table(g, comment);

  // The scenario reader is the judge: the file must read as the same
  // scenario with these gains, whatever its layout was.
  run::Scenario s;
  try {
    s = run::parse_scenario(text, name);
  } catch (const run::ScenarioError& e) {
    throw std::runtime_error(std::string("cannot put the gains into the scenario: ") + e.what());
  }
  if (s.gains.kp != g.kp || s.gains.ki != g.ki || s.gains.kd != g.kd) {
    throw std::runtime_error(name + ": cannot put the gains into the scenario: they do not read back");
  }
  return text;
}

void write_scenario(const std::string& path, const std::string& text) {
  files::AtomicFile out(path);
  if (std::fwrite(text.data(), 1, text.size(), out.stream()) != text.size()) {
    throw std::runtime_error(path + ": cannot write");
  }
  out.commit();
}

std::string how_to_use(const Gains& g, const std::string& scenario_path) {
  const std::string kp = number_text(g.kp), ki = number_text(g.ki), kd = number_text(g.kd);
  std::string text = "Use these gains with vboard-run --gains " + kp + "," + ki + "," + kd + ", or in a scenario's [gains] table";
  text += scenario_path.empty() ? "" : " (" + scenario_path + " has them)";
  text += "; for an image of your own, they are MotorAPosition's initial Kp, Ki and Kd in "
          "firmware/Files/User/global_variable.cpp.\n";
  return text;
}

}  // namespace tune
