// The two setpoint push buttons: PC7 raises the setpoint, PC8 lowers it.
// Each is pulled up on the board and shorts its pin to ground while
// pressed. The contacts bounce: a press or a release first makes a few
// short returns to the old level, evenly spread over the bounce time, before
// the pin settles (3 bounces over 1 ms unless set otherwise; the setting in
// force when the contact moves counts). Same calls,
// same level changes.
#pragma once

#include <array>
#include <cstdint>

#include "vboard/chip/gpio.h"
#include "vboard/chip/hardware.h"
#include "vboard/sim/model.h"

namespace vboard {

enum class Key { kRaise = 0, kLower = 1 };  // PC7, PC8

class Keys : public Part {
 public:
  // On their pins among `ports`.
  Keys(const Context& context, GpioPorts& ports);
  void reset() override;

  static constexpr char kPort = hw::pin("key up").port;
  static int pin(Key key) { return key == Key::kRaise ? hw::pin("key up").pin : hw::pin("key down").pin; }

  // Contact bounce of the presses and releases that happen from now on:
  // `bounces` returns to the old level spread over `span` (0: clean edges).
  void set_bounce(int bounces, Ticks span);
  int bounces() const { return bounces_; }
  Ticks bounce_span() const { return span_; }

  // The key is pressed at `at` (held until released).
  void press(Key key, Ticks at);
  // The key is let go at `at`.
  void release(Key key, Ticks at);
  // Pressed at `at` and released `hold` later.
  void click(Key key, Ticks at, Ticks hold);
  // A single clean low pulse of `width` at `at` (a spike, no bounce).
  void glitch(Key key, Ticks at, Ticks width);

  // Whether the contact is closed now (the pin may still be bouncing).
  bool pressed(Key key) const { return closed_[index(key)]; }
  // Level changes put on the key's pin since reset.
  std::uint64_t level_changes(Key key) const { return changes_[index(key)]; }

 private:
  static std::size_t index(Key key) { return static_cast<std::size_t>(key); }
  void contact(Key key, bool closed, Ticks at);
  void set_pin(Key key, bool low);

  GpioPorts& ports_;
  int bounces_ = 3;
  Ticks span_ = ms(1);
  std::array<bool, 2> closed_{};
  std::array<std::uint64_t, 2> changes_{};
};

}  // namespace vboard
