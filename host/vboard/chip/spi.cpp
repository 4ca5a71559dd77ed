#include "vboard/chip/spi.h"

#include <algorithm>

#include "vboard/chip/hardware.h"

namespace vboard {

namespace {
// CR1
constexpr std::uint16_t CPHA = SPI_CR1_CPHA, CPOL = SPI_CR1_CPOL, MSTR = SPI_CR1_MSTR, BR = SPI_CR1_BR, SPE = SPI_CR1_SPE,
                        LSBFIRST = SPI_CR1_LSBFIRST, SSI = SPI_CR1_SSI, SSM = SPI_CR1_SSM, DFF = SPI_CR1_DFF;
// CR2
constexpr std::uint16_t ERRIE = SPI_CR2_ERRIE, RXNEIE = SPI_CR2_RXNEIE, TXEIE = SPI_CR2_TXEIE;
constexpr std::uint16_t kCr2Mask = 0x00F7;
// SR
constexpr std::uint16_t RXNE = SPI_SR_RXNE, TXE = SPI_SR_TXE, CRCERR = SPI_SR_CRCERR, MODF = SPI_SR_MODF,
                        OVR = SPI_SR_OVR, BSY = SPI_SR_BSY;
// I2SCFGR
constexpr std::uint16_t I2SMOD = SPI_I2SCFGR_I2SMOD;

std::uint16_t reverse(std::uint16_t word, unsigned bits) {
  std::uint16_t r = 0;
  for (unsigned i = 0; i < bits; ++i)
    if (word & (1u << i)) r = static_cast<std::uint16_t>(r | (1u << (bits - 1 - i)));
  return r;
}
}  // namespace

Spi::Spi(const Context& context, const hw::DeviceRow& row, IrqLine irq, const ClockTree& clocks, GpioPorts& ports)
    : Peripheral(context, row), number_(row.number), irq_(irq), clocks_(clocks), ports_(ports) {}

void Spi::reset() {
  reset_registers();  // TXE: the transmit buffer is empty, as tx_pending_ says
  in_frame_ = false;
  current_ = {};
  tx_pending_ = false;
  tx_buffer_ = 0;
  rx_buffer_ = 0;
  ovr_dr_read_ = false;
  modf_sr_read_ = false;
  frames_.clear();
  // The ports reset before this model and dropped their observers.
  watched_ports_.clear();
  watch_chip_selects();
}

// ---------------------------------------------------------------------------
// Bus side

void Spi::attach(SpiSlave* slave, char port, int pin) {
  slaves_.push_back({slave, port, pin});
  cs_low_at_start_.push_back(false);
  cs_changed_.push_back(true);  // not selected throughout a frame already running
  watch_chip_selects();
}

void Spi::detach(const SpiSlave* slave) {
  for (std::size_t i = slaves_.size(); i-- > 0;) {
    if (slaves_[i].slave == slave) {
      slaves_.erase(slaves_.begin() + static_cast<std::ptrdiff_t>(i));
      cs_low_at_start_.erase(cs_low_at_start_.begin() + static_cast<std::ptrdiff_t>(i));
      cs_changed_.erase(cs_changed_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

void Spi::watch_chip_selects() {
  for (const auto& a : slaves_) {
    if (std::find(watched_ports_.begin(), watched_ports_.end(), a.port) != watched_ports_.end()) continue;
    watched_ports_.push_back(a.port);
    const char port = a.port;
    ports_[port].observe([this, port](int pin, bool level, Ticks) {
      for (std::size_t i = 0; i < slaves_.size(); ++i) {
        if (slaves_[i].port != port || slaves_[i].pin != pin) continue;
        if (in_frame_) {
          cs_changed_[i] = true;
          if (i == 0) current_.cs_steady = false;
        }
        slaves_[i].slave->select(!level, in_frame_, ctx_.now());
      }
    });
  }
}

bool Spi::cs_level(const Attachment& a) const { return ports_[a.port].level(a.pin); }

// ---------------------------------------------------------------------------
// Configuration

bool Spi::enabled() const { return (reg16(kCR1) & SPE) != 0; }
bool Spi::master() const { return (reg16(kCR1) & MSTR) != 0; }
unsigned Spi::prescaler() const { return 2u << ((reg16(kCR1) & BR) >> 3); }

SpiFormat Spi::format() const {
  const std::uint16_t cr1 = reg16(kCR1);
  SpiFormat f;
  f.bits = (cr1 & DFF) ? 16u : 8u;
  f.cpol = (cr1 & CPOL) != 0;
  f.cpha = (cr1 & CPHA) != 0;
  return f;
}

Ticks Spi::bus_period() const {
  return number_ == 1 ? clocks_.pclk2_period : clocks_.pclk1_period;
}

Ticks Spi::bit_time() const { return bus_period() * prescaler(); }

// ---------------------------------------------------------------------------
// Transfers

void Spi::start_frame(std::uint16_t word) {
  const SpiFormat f = format();
  if (f.bits == 8) word &= 0x00FFu;
  in_frame_ = true;
  current_ = {};
  current_.start = ctx_.now();
  current_.sent = word;
  current_.format = f;
  current_.cs_high = slaves_.empty() ? true : cs_level(slaves_.front());
  current_.cs_steady = true;
  for (std::size_t i = 0; i < slaves_.size(); ++i) {
    cs_low_at_start_[i] = !cs_level(slaves_[i]);
    cs_changed_[i] = false;
  }
  set_status(BSY, 0);
  ctx_.schedule(this, kFrameEnd, ctx_.now() + f.bits * bit_time());
}

void Spi::end_frame() {
  const SpiFormat f = current_.format;
  const std::uint16_t mask = f.bits == 16 ? 0xFFFFu : 0x00FFu;
  const bool lsb_first = (reg16(kCR1) & LSBFIRST) != 0;
  // Words on the wire, first bit in the frame's top bit.
  const std::uint16_t out = lsb_first ? reverse(current_.sent, f.bits) : current_.sent;
  std::uint16_t in = mask;  // nobody drives the line: pulled up
  for (std::size_t i = 0; i < slaves_.size(); ++i) {
    if (!cs_low_at_start_[i] || cs_changed_[i]) continue;
    in = static_cast<std::uint16_t>(in & slaves_[i].slave->exchange(out, f, ctx_.now()));
  }
  in &= mask;
  const std::uint16_t received = lsb_first ? reverse(in, f.bits) : in;

  current_.end = ctx_.now();
  current_.received = received;
  current_.completed = true;
  frames_.push_back(current_);

  if (reg16(kSR) & RXNE) {
    set_status(OVR, 0);  // the new word is lost; DR keeps the unread one
  } else {
    rx_buffer_ = received;
    set16(kDR, received);
    set_status(RXNE, 0);
  }

  in_frame_ = false;
  if (tx_pending_ && enabled() && master()) {
    tx_pending_ = false;
    set_status(TXE, 0);
    start_frame(tx_buffer_);
  } else {
    set_status(0, BSY);
  }
}

void Spi::abort_frame() {
  ctx_.cancel(this, kFrameEnd);
  current_.end = ctx_.now();
  current_.completed = false;
  current_.received = 0;
  frames_.push_back(current_);
  in_frame_ = false;
  set_status(0, BSY);
}

void Spi::on_event(int kind) {
  if (kind == kFrameEnd && in_frame_) end_frame();
}

void Spi::set_status(std::uint16_t set, std::uint16_t clear) {
  set16(kSR, static_cast<std::uint16_t>((reg16(kSR) | set) & ~clear));
  update_irq_line();
}

void Spi::update_irq_line() {
  const std::uint16_t sr = reg16(kSR);
  const std::uint16_t cr2 = reg16(kCR2);
  const bool level = ((cr2 & TXEIE) && (sr & TXE)) || ((cr2 & RXNEIE) && (sr & RXNE)) ||
                     ((cr2 & ERRIE) && (sr & (OVR | MODF | CRCERR)));
  irq_.set(level);
}

// ---------------------------------------------------------------------------
// Register side

std::uint32_t Spi::read(std::uint32_t offset, unsigned width) {
  switch (offset) {
    case kSR: {
      const std::uint16_t sr = reg16(kSR);
      if ((sr & OVR) && ovr_dr_read_) {
        ovr_dr_read_ = false;
        set_status(0, OVR);
      }
      modf_sr_read_ = (sr & MODF) != 0;
      return sr;
    }
    case kDR:
      ovr_dr_read_ = (reg16(kSR) & OVR) != 0;
      set_status(0, RXNE);
      return rx_buffer_;
    default:
      return load(offset, width);
  }
}

void Spi::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  switch (offset) {
    case kCR1: {
      const bool was_enabled = enabled();
      std::uint16_t cr1 = static_cast<std::uint16_t>(value);
      if (modf_sr_read_) {
        modf_sr_read_ = false;
        set_status(0, MODF);
      }
      // Master with its internal select pulled low: mode fault, the
      // peripheral drops out of master mode and is disabled.
      if ((cr1 & MSTR) && (cr1 & SSM) && !(cr1 & SSI)) {
        cr1 = static_cast<std::uint16_t>(cr1 & ~(MSTR | SPE));
        set_status(MODF, 0);
      }
      set16(kCR1, cr1);
      if (was_enabled && !enabled()) {
        if (in_frame_) abort_frame();
      } else if (!was_enabled && enabled() && master() && tx_pending_ && !in_frame_) {
        // A word written while disabled leaves as soon as the link is on.
        tx_pending_ = false;
        set_status(TXE, 0);
        start_frame(tx_buffer_);
      }
      return;
    }
    case kCR2:
      set16(kCR2, static_cast<std::uint16_t>(value & kCr2Mask));
      update_irq_line();
      return;
    case kSR:
      // Only CRCERR is writable (write 0 to clear).
      if (!(value & CRCERR)) set_status(0, CRCERR);
      return;
    case kDR: {
      const std::uint16_t word = static_cast<std::uint16_t>(value);
      if (reg16(kI2SCFGR) & I2SMOD) return;  // I2S is not modelled
      if (enabled() && master() && !in_frame_ && !tx_pending_) {
        start_frame(word);  // straight into the shift register: TXE stays set
      } else {
        tx_buffer_ = word;  // waits in the transmit buffer
        tx_pending_ = true;
        set_status(0, TXE);
      }
      return;
    }
    case kRXCRCR:
    case kTXCRCR:
      return;  // read-only
    default:
      store(offset, value, width);
  }
}

}  // namespace vboard
