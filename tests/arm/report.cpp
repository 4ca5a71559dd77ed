#include "report.h"

#include "port.h"
#include "semihost.h"

namespace armtest {
namespace {

int g_checks = 0;
int g_mismatches = 0;
int g_groups = 0;
Group* g_running = nullptr;
constexpr int kPrintedPerGroup = 16;

}  // namespace

void Line::put(char c) {
  if (length_ + 1 < sizeof(buffer_)) {
    buffer_[length_++] = c;
    buffer_[length_] = '\0';
  }
}

Line& Line::operator<<(const char* text) {
  for (; text != nullptr && *text != '\0'; ++text) {
    put(*text);
  }
  return *this;
}

Line& Line::operator<<(Hex h) {
  put('0');
  put('x');
  for (int d = h.digits - 1; d >= 0; --d) {
    put("0123456789abcdef"[(h.value >> (4 * d)) & 0xFu]);
  }
  return *this;
}

Line& Line::operator<<(Dec d) {
  std::uint64_t magnitude = static_cast<std::uint64_t>(d.value);
  if (d.value < 0) {
    put('-');
    magnitude = 0 - magnitude;
  }
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10u);
    magnitude /= 10u;
  } while (magnitude != 0u);
  while (n > 0) {
    put(digits[--n]);
  }
  return *this;
}

void Line::flush() {
  put('\n');
  semihost::write0(buffer_);
  length_ = 0;
  buffer_[0] = '\0';
}

Group::Group(const char* name) : name_(name) {}

Group::~Group() {
  g_checks += checks_;
  g_mismatches += mismatches_;
  ++g_groups;
  Line line;
  line << (mismatches_ == 0 ? "ok       " : "FAILED   ") << name_ << ": " << dec(checks_) << " checks";
  if (mismatches_ != 0) {
    line << ", " << dec(mismatches_) << " mismatches";
  }
  line.flush();
}

void Group::report(const char* field, std::uint64_t got, std::uint64_t want, int digits) {
  ++mismatches_;
  if (mismatches_ > kPrintedPerGroup) {
    return;
  }
  Line line;
  line << "MISMATCH " << name_ << " case " << dec(index_);
  if (label_ != nullptr) {
    line << " [" << label_ << "]";
  }
  line << " " << field << ": got " << Hex{got, digits} << " want " << Hex{want, digits};
  line.flush();
}

bool Group::bytes(const char* field, const std::uint8_t* got, std::size_t got_length, const std::uint8_t* want,
                  std::size_t want_length) {
  ++checks_;
  if (got_length != want_length) {
    Line line;
    ++mismatches_;
    line << "MISMATCH " << name_ << " case " << dec(index_);
    if (label_ != nullptr) {
      line << " [" << label_ << "]";
    }
    line << " " << field << ": length got " << dec(static_cast<std::int64_t>(got_length)) << " want "
         << dec(static_cast<std::int64_t>(want_length));
    line.flush();
    return false;
  }
  for (std::size_t n = 0; n < got_length; ++n) {
    if (got[n] != want[n]) {
      Line line;
      ++mismatches_;
      line << "MISMATCH " << name_ << " case " << dec(index_);
      if (label_ != nullptr) {
        line << " [" << label_ << "]";
      }
      line << " " << field << " byte " << dec(static_cast<std::int64_t>(n)) << ": got " << hex(got[n]) << " want "
           << hex(want[n]);
      line.flush();
      return false;
    }
  }
  return true;
}

Group* running_group() { return g_running; }
void set_running_group(Group* group) { g_running = group; }

void power_on_state() {
  const int checks = g_checks;
  const int mismatches = g_mismatches;
  const int groups = g_groups;
  Group* const running = g_running;
  port::runtime_init();
  g_checks = checks;
  g_mismatches = mismatches;
  g_groups = groups;
  g_running = running;
}

int finish(const char* image) {
  Line line;
  line << image << ": " << dec(g_groups) << " groups, " << dec(g_checks) << " checks, " << dec(g_mismatches)
       << " mismatches";
  line.flush();
  return g_mismatches == 0 ? 0 : 1;
}

}  // namespace armtest
