#include "vboard/chip/usart.h"

#include <algorithm>
#include <cmath>

#include "vboard/chip/hardware.h"

namespace vboard {

namespace {

constexpr std::uint16_t kErrorFlags = Usart::ORE | Usart::NE | Usart::FE | Usart::PE;
constexpr std::uint16_t kClearedByWriteZero = Usart::RXNE | Usart::TC | 0x0100u | 0x0200u;  // and LBD, CTS

}  // namespace

bool frame_readable(const SerialFrame& frame, const SerialFormat& format, double bit_time) {
  if (!frame.format.same_word(format) || bit_time <= 0 || frame.bit_time <= 0) return false;
  return std::fabs(frame.bit_time - bit_time) <= 0.03 * bit_time;
}

Ticks frame_ticks(const SerialFormat& format, double bit_time) {
  if (bit_time <= 0) return kNever;
  return static_cast<Ticks>(round_half_away(bit_time * static_cast<double>(format.frame_halves()) / 2.0));
}

// The board builds its devices in the table's order: the ports that a
// USART's pins sit on exist when it is built.
constexpr bool ports_before_usarts() {
  bool usart_seen = false;
  for (const hw::DeviceRow& row : hw::kDevices) {
    if (row.kind == hw::Kind::usart) usart_seen = true;
    if (row.kind == hw::Kind::gpio && usart_seen) return false;
  }
  return true;
}
static_assert(ports_before_usarts());

Usart::Usart(const Context& context, const hw::DeviceRow& row, IrqLine irq, const ClockTree& clocks,
             GpioPorts& ports)
    : Peripheral(context, row), number_(row.number), irq_(irq), clocks_(clocks),
      on_apb2_(row.gate.on_apb2()) {
  // The chip's one choice of pin for each line, among the modelled ones.
  auto route = [&ports](const hw::AfPin* p) {
    PinRoute r;
    if (p == nullptr) return r;
    if (ports.has(p->port)) r.port = &ports[p->port];
    r.pin = static_cast<std::uint8_t>(p->pin);
    r.af = p->af;
    return r;
  };
  tx_pin_ = route(hw::af_pin(row.name, "TX"));
  rx_pin_ = route(hw::af_pin(row.name, "RX"));
}

void Usart::reset() {
  reset_registers();  // TXE and TC: nothing to send, as tdr_full_ and shift_busy_ say
  derived_stale();
  stats_ = {};
  irq_level_ = false;
  tdr_full_ = false;
  tdr_ = 0;
  shift_busy_ = false;
  shift_data_ = false;
  shift_ = {};
  tc_clear_armed_ = false;
  rdr_ = 0;
  sr_seen_ = 0;
  rx_in_flight_ = false;
  rx_frame_ = {};
  rx_on_since_ = kNever;
  noise_share_ = framing_share_ = 0.0;
  disturbance_state_ = 0;
  rx_noisy_ = rx_bad_stop_ = false;
}

// ---------------------------------------------------------------------------
// Configuration

SerialFormat Usart::format() const {
  const std::uint16_t cr1 = reg16(kCR1);
  SerialFormat f;
  const unsigned word = (cr1 & M) ? 9u : 8u;
  if (cr1 & PCE) {
    f.parity = (cr1 & PS) ? Parity::kOdd : Parity::kEven;
    f.data_bits = word - 1u;
  } else {
    f.parity = Parity::kNone;
    f.data_bits = word;
  }
  static constexpr unsigned kStopHalves[4] = {2, 1, 4, 3};  // 1, 0.5, 2, 1.5 stop bits
  f.stop_halves = kStopHalves[(reg16(kCR2) >> 12) & 3u];
  return f;
}

std::uint32_t Usart::bus_clock_hz() const {
  return on_apb2_ ? clocks_.pclk2_hz : clocks_.pclk1_hz;
}

double Usart::bit_time() const {
  const std::uint16_t brr = reg16(kBRR);
  const std::uint32_t mantissa = brr >> 4;
  if (mantissa == 0) return 0;  // USARTDIV below 1: the baud generator does not run
  // Bus clocks per bit: 16 x USARTDIV, or 8 x USARTDIV with OVER8 (whose
  // fraction has three bits).
  const std::uint32_t clocks = (reg16(kCR1) & OVER8) ? 8u * mantissa + (brr & 7u) : brr;
  const std::uint32_t hz = bus_clock_hz();
  if (hz == 0) return 0;
  return static_cast<double>(clocks) * static_cast<double>(kTicksPerSecond) / static_cast<double>(hz);
}

double Usart::baud() const {
  const double t = bit_time();
  return t > 0 ? static_cast<double>(kTicksPerSecond) / t : 0.0;
}

// Read from the port's registers at each ask: nothing to keep up to date.
bool Usart::pin_routed(bool tx) const {
  const PinRoute& r = tx ? tx_pin_ : rx_pin_;
  return r.port != nullptr && r.port->mode(r.pin) == GpioPort::kModeAlternate &&
         r.port->alternate_function(r.pin) == r.af;
}

bool Usart::tx_routed() const { return pin_routed(true); }
bool Usart::rx_routed() const { return pin_routed(false); }

// ---------------------------------------------------------------------------
// Register side

std::uint32_t Usart::read(std::uint32_t offset, unsigned width) {
  switch (offset) {
    case kSR: {
      const std::uint16_t sr = reg16(kSR);
      sr_seen_ = sr;
      tc_clear_armed_ = true;
      return sr;
    }
    case kDR: {
      const std::uint16_t value = rdr_;
      std::uint16_t clear = static_cast<std::uint16_t>(sr_seen_ & (kErrorFlags | IDLE));
      if (reg16(kSR) & RXNE) {
        clear = static_cast<std::uint16_t>(clear | RXNE);
        ++stats_.bytes_read;
      }
      sr_seen_ = 0;
      set_status(0, clear);
      return value;
    }
    default:
      return load(offset, width);
  }
}

void Usart::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  const auto v16 = static_cast<std::uint16_t>(value & 0xFFFFu);
  switch (offset) {
    case kSR: {
      // rc_w0: a 0 clears RXNE or TC (LBD, CTS); every other bit is read-only.
      const std::uint16_t sr = reg16(kSR);
      set_status(0, static_cast<std::uint16_t>(sr & kClearedByWriteZero & ~v16));
      return;
    }
    case kDR: {
      // The data register fills (TXE clears); an SR read followed by this
      // write clears TC too. Both only clear: one look at the line will do.
      const auto clear = static_cast<std::uint16_t>(tc_clear_armed_ ? TXE | TC : TXE);
      tc_clear_armed_ = false;
      if (shift_busy_) ++stats_.queued_writes;
      tdr_ = static_cast<std::uint16_t>(v16 & 0x01FFu);
      tdr_full_ = true;
      set_status(0, clear);
      load_shift_register();
      return;
    }
    case kBRR:
      set16(kBRR, v16);
      derived_stale();
      load_shift_register();
      return;
    case kCR1: {
      const std::uint16_t old = reg16(kCR1);
      set16(kCR1, static_cast<std::uint16_t>(v16 & 0xBFFFu));
      derived_stale();
      control_changed(old);
      return;
    }
    case kCR2:
      set16(kCR2, static_cast<std::uint16_t>(v16 & 0x7F7Fu));
      derived_stale();
      return;
    case kCR3:
      set16(kCR3, static_cast<std::uint16_t>(v16 & 0x0FFFu));
      derived_stale();
      update_irq_line();
      return;
    default:
      // A byte or upper-half write may reach a set-up register's bytes.
      store(offset, value, width);
      derived_stale();
  }
}

void Usart::set_irq_level(bool level) {
  irq_level_ = level;
  irq_.set(level);
}

void Usart::control_changed(std::uint16_t old_cr1) {
  const bool was_tx = (old_cr1 & (UE | TE)) == (UE | TE);
  const bool was_rx = (old_cr1 & (UE | RE)) == (UE | RE);
  if (!was_tx && transmitter_on()) {
    start_preamble();
    if (tx_pin_.port != nullptr) tx_pin_.port->set_alternate_output(tx_pin_.pin, true);  // the line idles high
  }
  load_shift_register();
  if (!was_rx && receiver_on()) rx_on_since_ = ctx_.now();
  if (was_rx && !receiver_on()) rx_on_since_ = kNever;
  update_irq_line();
}

// ---------------------------------------------------------------------------
// Transmitter

void Usart::start_preamble() {
  // Enabling the transmitter sends one idle frame (all ones) first.
  if (shift_busy_) return;
  const double bt = bit_time();
  if (bt <= 0) return;
  shift_busy_ = true;
  shift_data_ = false;
  shift_ = {};
  shift_.format = format();
  shift_.bit_time = bt;
  shift_.start = ctx_.now();
  shift_.end = ctx_.now() + frame_ticks(shift_.format, bt);
  ctx_.schedule(this, kTxDone, shift_.end);
}

// Out of line: the registers and the clock seldom change between bytes.
[[gnu::noinline]] void Usart::work_out_timing() {
  timing_ = {true, bit_time(), format(), 0};
  if (timing_.bit_time > 0) timing_.length = frame_ticks(timing_.format, timing_.bit_time);
}

void Usart::start_data_frame() {
  const FrameTiming& last = timing_;
  if (!last.current) [[unlikely]] work_out_timing();
  const double bt = last.bit_time;
  if (bt <= 0) return;  // no baud clock: the byte waits in DR
  shift_busy_ = true;
  shift_data_ = true;
  shift_.format = last.format;
  shift_.data = static_cast<std::uint16_t>(tdr_ & ((1u << shift_.format.data_bits) - 1u));
  shift_.bit_time = bt;
  shift_.start = ctx_.now();
  shift_.end = ctx_.now() + last.length;
  tdr_full_ = false;
  set_status(TXE, 0);
  ctx_.schedule(this, kTxDone, shift_.end);
}

// ---------------------------------------------------------------------------
// Receiver

void Usart::peer_changed() {
  if (!rx_in_flight_) schedule_rx();
}

void Usart::set_rx_disturbance(double noise_percent, double framing_percent, std::uint64_t seed) {
  noise_share_ = std::clamp(noise_percent / 100.0, 0.0, 1.0);
  framing_share_ = std::clamp(framing_percent / 100.0, 0.0, 1.0);
  disturbance_state_ = seed;
}

void Usart::schedule_rx() {
  const Ticks start = peer_ ? peer_->next_frame_start() : kNever;
  if (start == kNever) {
    ctx_.cancel(this, kRxLine);
    return;
  }
  ctx_.schedule(this, kRxLine, std::max(start, ctx_.now()));
}

void Usart::deliver(const SerialFrame& frame) {
  ++stats_.frames_arrived;
  if (rx_on_since_ > frame.start || !rx_routed()) {
    ++stats_.frames_missed;
    return;
  }
  // The line is watched for a frame's length of idle after each reception.
  const Ticks idle_after = frame_time();
  if (idle_after != kNever) ctx_.schedule(this, kIdleLine, ctx_.now() + idle_after);
  if (reg16(kSR) & RXNE) {
    ++stats_.overruns;
    set_status(ORE, 0);
    return;
  }
  const unsigned word = format().word_bits();
  rdr_ = static_cast<std::uint16_t>(frame.data & ((1u << word) - 1u));
  std::uint16_t set = RXNE;
  if (rx_bad_stop_ || !frame_readable(frame, format(), bit_time())) {
    set = static_cast<std::uint16_t>(set | FE);
    ++stats_.framing_errors;
  }
  if (rx_noisy_) {
    set = static_cast<std::uint16_t>(set | NE);
    ++stats_.noise_errors;
  }
  ++stats_.frames_received;
  set_status(set, 0);
}

// ---------------------------------------------------------------------------
// Events

void Usart::on_event(int kind) {
  switch (kind) {
    case kTxDone: {
      const bool was_data = shift_data_;
      shift_busy_ = false;
      shift_data_ = false;
      if (was_data) {
        ++stats_.frames_sent;
        if (!tx_routed()) {
          ++stats_.frames_unheard;
        } else if (peer_) {
          peer_->frame_sent(shift_);
        }
      }
      load_shift_register();
      if (was_data && !shift_busy_ && (reg16(kSR) & TXE)) set_status(TC, 0);
      return;
    }
    case kRxLine:
      rx_line();
      return;
    case kIdleLine:
      if (receiver_on() && !rx_in_flight_) set_status(IDLE, 0);
      return;
    default:
      return;
  }
}

// A frame from the peer ends, and the next one begins when it is due. Out
// of line: a byte sent, the common event, needs none of this.
[[gnu::noinline]] void Usart::rx_line() {
  if (rx_in_flight_) {
    rx_in_flight_ = false;
    const SerialFrame done = rx_frame_;
    deliver(done);
    if (peer_) peer_->frame_done(done);
  }
  if (!peer_) return;
  const Ticks start = peer_->next_frame_start();
  if (start == kNever) return;
  if (start > ctx_.now()) {
    ctx_.schedule(this, kRxLine, start);
    return;
  }
  rx_frame_ = peer_->begin_frame(ctx_.now());
  rx_in_flight_ = true;
  rx_noisy_ = rx_bad_stop_ = false;
  if (noise_share_ > 0.0 || framing_share_ > 0.0) {
    // Two draws a frame from a splitmix64 sequence, in [0, 1).
    auto draw = [this] {
      std::uint64_t z = (disturbance_state_ += 0x9E3779B97F4A7C15ull);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
    };
    rx_noisy_ = draw() < noise_share_;
    rx_bad_stop_ = draw() < framing_share_;
  }
  ctx_.cancel(this, kIdleLine);
  ctx_.schedule(this, kRxLine, rx_frame_.end);
}

}  // namespace vboard
