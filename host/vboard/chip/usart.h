// USART model (USART1, USART2, USART3, USART6 in asynchronous mode).
//
// Register side: SR (PE, FE, NE, ORE, IDLE, RXNE, TC, TXE), DR (a transmit
// data register in front of a shift register, and a receive data register),
// BRR, CR1 (UE, TE, RE, RXNEIE, TCIE, TXEIE, IDLEIE, PEIE, M, PCE, PS,
// OVER8), CR2 (STOP), CR3, GTPR. Frames take their true time on the line:
// one bit is BRR / fPCLK with 16-times oversampling (BRR as mantissa and
// sixteenths), (8 x mantissa + eighths) / fPCLK with OVER8; a frame is a
// start bit, 8 or 9 data bits (M, parity included) and 0.5 to 2 stop bits.
//
// Transmitter: a DR write fills the data register (TXE clears) and moves on
// to the shift register at once when that is empty (TXE sets again). TC sets
// when a data frame has left the line and the data register is empty; it
// clears by an SR read followed by a DR write, or by writing 0 to it.
// Enabling the transmitter (UE and TE) first sends an idle frame.
//
// Receiver: frames from the attached peer arrive at the peer's rate. A frame
// that completes sets RXNE with its data in DR; one that completes while
// RXNE is still set is lost and sets ORE (DR keeps the earlier byte). A frame
// whose format or rate does not match the receiver's sets FE, as does one
// whose stop bit a disturbance pulls low; noise on the line (samples of a bit
// that disagree) sets NE; both come with RXNE, as on the chip. IDLE sets when
// the line has stayed idle for one frame after a reception. Reading DR clears
// RXNE; an SR read followed by a DR read clears ORE, NE, FE, PE and IDLE
// (those the SR read saw). Frames that start while the receiver is off, or
// with the RX pin not routed to the USART, are not seen.
//
// Interrupt line: (RXNE or ORE) and RXNEIE, TXE and TXEIE, TC and TCIE, IDLE
// and IDLEIE, PE and PEIE, or (FE, NE or ORE) with EIE and DMAR.
//
// Synchronous, LIN, smartcard, IrDA, half-duplex, hardware flow control,
// wake-up and break are not modelled (their bits only store).
#pragma once

#include <cstdint>

#include "device.h"
#include "vboard/chip/clock_tree.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/peripheral.h"
#include "vboard/chip/system_control_block.h"

namespace vboard {

enum class Parity : std::uint8_t { kNone, kEven, kOdd };

// The shape of a frame on a serial line.
struct SerialFormat {
  unsigned data_bits = 8;  // payload bits, parity not counted
  Parity parity = Parity::kNone;
  unsigned stop_halves = 2;  // stop bits in half bits: 1, 2, 3 or 4
  unsigned word_bits() const { return data_bits + (parity == Parity::kNone ? 0u : 1u); }
  // The whole frame in half bits: start, word, stop.
  unsigned frame_halves() const { return 2u * (1u + word_bits()) + stop_halves; }
  bool same_word(const SerialFormat& o) const { return data_bits == o.data_bits && parity == o.parity; }
  bool operator==(const SerialFormat&) const = default;
};

// One frame on the line, as its sender produced it.
struct SerialFrame {
  std::uint16_t data = 0;  // payload bits
  SerialFormat format{};
  double bit_time = 0;  // in ticks
  Ticks start = 0;      // leading edge of the start bit
  Ticks end = 0;        // end of the last stop bit
};

// Whether a receiver set for `format` at `bit_time` reads `frame` correctly:
// the same word, and a bit time within 3 % of its own. Stop bits beyond the
// first are not checked, as receivers do.
bool frame_readable(const SerialFrame& frame, const SerialFormat& format, double bit_time);

// Length of a frame of `format` at `bit_time`, rounded to whole ticks.
Ticks frame_ticks(const SerialFormat& format, double bit_time);

// The device at the other end of a USART's lines.
class SerialPeer {
 public:
  virtual ~SerialPeer() = default;
  // A frame the USART sent has left the line (its last stop bit is over).
  virtual void frame_sent(const SerialFrame& frame) = 0;
  // The earliest time the peer's next frame may begin, or kNever.
  virtual Ticks next_frame_start() const = 0;
  // The peer begins that frame `now`: its data, format, bit time and end.
  virtual SerialFrame begin_frame(Ticks now) = 0;
  // The frame has left the peer's line.
  virtual void frame_done(const SerialFrame& /*frame*/) {}
};

class Usart : public Peripheral {
 public:
  // Clocked by its bus in `clocks`; its lines on the pins of `ports`.
  Usart(const Context& context, const hw::DeviceRow& row, IrqLine irq, const ClockTree& clocks, GpioPorts& ports);
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  void reset() override;
  void on_event(int kind) override;
  void clocks_changed() override { derived_stale(); }
  void registers_poked() override { derived_stale(); }

  int number() const { return number_; }
  int irq() const { return irq_.number(); }

  // Attaches the device at the other end of the lines, for the life of the
  // board (a peer attaches from its constructor).
  void attach(SerialPeer* peer) { peer_ = peer; }
  // The peer has new frames to send, or their times changed.
  void peer_changed();
  // Disturbances on the RX line for the frames that begin from now on: that
  // share of them carries noise (NE, the data still read as sent) or a stop
  // bit pulled low (FE). Which frames are hit follows from `seed`.
  void set_rx_disturbance(double noise_percent, double framing_percent, std::uint64_t seed);

  // ---- Configuration as the registers hold it ----
  bool enabled() const { return (reg16(kCR1) & UE) != 0; }
  bool transmitter_on() const { return (reg16(kCR1) & (UE | TE)) == (UE | TE); }
  bool receiver_on() const { return (reg16(kCR1) & (UE | RE)) == (UE | RE); }
  SerialFormat format() const;
  // One bit in ticks at the bus clock in force; 0 when BRR is not usable.
  double bit_time() const;
  double baud() const;  // bits per second, 0 when BRR is not usable
  Ticks frame_time() const { return frame_ticks(format(), bit_time()); }
  std::uint32_t bus_clock_hz() const;
  bool tx_routed() const;  // the TX pin is in alternate-function mode with this USART's function
  bool rx_routed() const;

  // ---- Observations ----
  struct Stats {
    std::uint64_t frames_sent = 0;      // data frames that left the TX line
    std::uint64_t queued_writes = 0;    // DR writes that found the shift register busy (waited in DR)
    std::uint64_t frames_unheard = 0;   // of those, sent while the TX pin was not routed
    std::uint64_t frames_arrived = 0;   // frames the peer put on the RX line
    std::uint64_t frames_missed = 0;    // arrived while the receiver was off or not routed
    std::uint64_t frames_received = 0;  // moved into DR (RXNE set)
    std::uint64_t framing_errors = 0;
    std::uint64_t noise_errors = 0;
    std::uint64_t overruns = 0;         // lost because RXNE was still set
    std::uint64_t bytes_read = 0;       // DR reads that took a received byte (RXNE was set)
  };
  const Stats& stats() const { return stats_; }
  bool transmitting() const { return shift_busy_; }
  std::uint16_t status() const { return reg16(kSR); }
  std::uint16_t received_data() const { return rdr_; }  // what a DR read would return
  bool irq_level() const { return irq_level_; }

  static constexpr std::uint32_t kSR = offsetof(USART_TypeDef, SR), kDR = offsetof(USART_TypeDef, DR),
                                 kBRR = offsetof(USART_TypeDef, BRR), kCR1 = offsetof(USART_TypeDef, CR1),
                                 kCR2 = offsetof(USART_TypeDef, CR2), kCR3 = offsetof(USART_TypeDef, CR3),
                                 kGTPR = offsetof(USART_TypeDef, GTPR);
  static constexpr std::uint16_t PE = USART_SR_PE, FE = USART_SR_FE, NE = USART_SR_NE, ORE = USART_SR_ORE,
                                 IDLE = USART_SR_IDLE, RXNE = USART_SR_RXNE, TC = USART_SR_TC, TXE = USART_SR_TXE;
  static constexpr std::uint16_t RE = USART_CR1_RE, TE = USART_CR1_TE, IDLEIE = USART_CR1_IDLEIE,
                                 RXNEIE = USART_CR1_RXNEIE, TCIE = USART_CR1_TCIE, TXEIE = USART_CR1_TXEIE,
                                 PEIE = USART_CR1_PEIE, PS = USART_CR1_PS, PCE = USART_CR1_PCE, M = USART_CR1_M,
                                 UE = USART_CR1_UE, OVER8 = USART_CR1_OVER8;
  static constexpr std::uint16_t CR3_EIE = USART_CR3_EIE, CR3_DMAR = USART_CR3_DMAR;

 private:
  enum EventKind { kTxDone = 0, kRxLine = 1, kIdleLine = 2 };
  void set_status(std::uint16_t set, std::uint16_t clear) {
    set16(kSR, static_cast<std::uint16_t>((reg16(kSR) | set) & ~clear));
    update_irq_line();
  }
  // What the model works out from its set-up registers and the bus clock
  // (the frame timing, the interrupt sources) is kept until one of them
  // changes: every write that may reach CR1, CR2, CR3 or BRR, a clock
  // change, a reset or a debugger's poke drops it.
  void derived_stale() {
    timing_.current = false;
    sources_.current = false;
  }
  // The status flags that the enables in CR1 and CR3 let through to the
  // interrupt line. Every change of a flag asks, and the enables seldom
  // change.
  std::uint16_t irq_sources() const {
    if (!sources_.current) [[unlikely]] sources_ = {true, sources_from(reg16(kCR1), reg16(kCR3))};
    return sources_.seen;
  }
  static std::uint16_t sources_from(unsigned cr1, unsigned cr3) {
    // RXNEIE, TXEIE, TCIE and IDLEIE sit at their flags' bits; RXNEIE
    // also lets ORE through, PEIE lets PE through.
    static_assert(RXNEIE == RXNE && TXEIE == TXE && TCIE == TC && IDLEIE == IDLE);
    static_assert((RXNEIE >> 2) == ORE && (PEIE >> 8) == PE);
    unsigned seen = (cr1 & (RXNEIE | TXEIE | TCIE | IDLEIE)) | ((cr1 >> 2) & ORE) | ((cr1 >> 8) & PE);
    if ((cr3 & (CR3_EIE | CR3_DMAR)) == (CR3_EIE | CR3_DMAR)) seen |= FE | NE | ORE;
    return static_cast<std::uint16_t>(seen);
  }
  // In line: every change of a flag asks, and the line seldom moves.
  void update_irq_line() {
    const bool level = (reg16(kSR) & irq_sources()) != 0;
    if (level != irq_level_) [[unlikely]] set_irq_level(level);
  }
  void set_irq_level(bool level);
  // Moves a waiting byte into an idle shift register, when the transmitter
  // is on; in line, as most calls find nothing to move.
  void load_shift_register() {
    if (!shift_busy_ && tdr_full_ && transmitter_on()) start_data_frame();
  }
  void start_data_frame();
  void work_out_timing();
  void start_preamble();
  void control_changed(std::uint16_t old_cr1);
  void schedule_rx();
  void rx_line();
  void deliver(const SerialFrame& frame);
  bool pin_routed(bool tx) const;

  int number_;
  IrqLine irq_;
  const ClockTree& clocks_;
  bool on_apb2_;  // the bus clock is PCLK2 (else PCLK1)
  // A line's pin and the alternate function that routes it to this USART;
  // port null when the pin's port has no model.
  struct PinRoute {
    GpioPort* port = nullptr;
    std::uint8_t pin = 0;  // unsigned: the port's field offsets by shifts
    unsigned af = 0;
  };
  PinRoute tx_pin_{}, rx_pin_{};
  // A frame's shape and length as the registers and the bus clock give
  // them: the same for every byte of a telemetry frame, so worked out once
  // for each set-up (current: not dropped since).
  struct FrameTiming {
    bool current = false;
    double bit_time = 0;
    SerialFormat format{};
    Ticks length = 0;
  };
  FrameTiming timing_{};
  SerialPeer* peer_ = nullptr;
  Stats stats_{};
  bool irq_level_ = false;
  // irq_sources() for the enables in force (current: not dropped since).
  struct Sources {
    bool current = false;
    std::uint16_t seen = 0;
  };
  mutable Sources sources_{};

  // Transmitter.
  bool tdr_full_ = false;
  std::uint16_t tdr_ = 0;
  bool shift_busy_ = false;
  bool shift_data_ = false;  // a data frame (not the idle frame after enabling)
  SerialFrame shift_{};
  bool tc_clear_armed_ = false;  // an SR read since the last DR write

  // Receiver.
  std::uint16_t rdr_ = 0;
  std::uint16_t sr_seen_ = 0;  // flags the last SR read saw, until a DR read
  bool rx_in_flight_ = false;
  SerialFrame rx_frame_{};
  Ticks rx_on_since_ = kNever;
  double noise_share_ = 0.0, framing_share_ = 0.0;
  std::uint64_t disturbance_state_ = 0;
  bool rx_noisy_ = false, rx_bad_stop_ = false;  // of the frame in flight
};

}  // namespace vboard
