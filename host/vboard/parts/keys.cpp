#include "vboard/parts/keys.h"

namespace vboard {

// No registers: the keys are outside the chip.
Keys::Keys(const Context& context, GpioPorts& ports) : Part(context, "keys"), ports_(ports) {}

void Keys::reset() {
  bounces_ = 3;
  span_ = ms(1);
  closed_.fill(false);
  // The board's pull-ups hold both pins high while the keys are up.
  for (Key key : {Key::kRaise, Key::kLower}) ports_[kPort].drive(pin(key), true);
  changes_.fill(0);
}

void Keys::set_bounce(int bounces, Ticks span) {
  bounces_ = bounces < 0 ? 0 : bounces;
  span_ = span;
}

void Keys::set_pin(Key key, bool low) {
  GpioPort& gpio = ports_[kPort];
  if (gpio.level(pin(key)) == low) ++changes_[index(key)];
  gpio.drive(pin(key), !low);
}

void Keys::contact(Key key, bool closed, Ticks at) {
  // The bounce is the one in force when the contact moves. Steps 0, 2, 4 ...
  // put the new level on the pin, the odd ones the old level back; the last
  // step settles it.
  ctx_.at(at, [this, key, closed, at] {
    closed_[index(key)] = closed;
    set_pin(key, closed);
    const int steps = 2 * bounces_;
    for (int i = 1; i <= steps; ++i) {
      const Ticks when = at + span_ * static_cast<Ticks>(i) / static_cast<Ticks>(steps);
      const bool low = (i % 2 == 0) == closed;
      ctx_.at(when, [this, key, low] { set_pin(key, low); });
    }
  });
}

void Keys::press(Key key, Ticks at) { contact(key, true, at); }

void Keys::release(Key key, Ticks at) { contact(key, false, at); }

void Keys::click(Key key, Ticks at, Ticks hold) {
  press(key, at);
  release(key, at + hold);
}

void Keys::glitch(Key key, Ticks at, Ticks width) {
  ctx_.at(at, [this, key] { set_pin(key, true); });
  ctx_.at(at + width, [this, key] { set_pin(key, false); });
}

}  // namespace vboard
