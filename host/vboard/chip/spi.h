// SPI model (SPI1, SPI2, SPI3 in SPI mode). Register side: CR1 (SPE, MSTR,
// baud-rate prescaler, CPOL/CPHA, LSBFIRST, DFF, SSM/SSI), CR2 (interrupt
// enables), SR (RXNE, TXE, MODF, OVR, BSY), DR with a one-word transmit
// buffer, CRCPR, I2SCFGR. In master mode a write of DR starts a frame of 8
// or 16 bit-times at fPCLK / 2^(BR+1); when the last clock has passed the
// word the selected slaves shifted back is in DR and RXNE is set. A word
// received while RXNE is still set is lost and sets OVR. Slave mode, CRC and
// I2S are not modelled (their registers only store).
//
// Bus side: slave devices attach with their chip-select pin and are called
// for every frame they were selected for throughout. Undriven, the data-in
// line follows its pull (pulled up on this board): all ones.
#pragma once

#include <cstdint>
#include <vector>

#include "device.h"
#include "vboard/chip/clock_tree.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/peripheral.h"
#include "vboard/chip/system_control_block.h"

namespace vboard {

// The shape of a frame as the master clocks it.
struct SpiFormat {
  unsigned bits = 16;  // 8 or 16
  bool cpol = false;   // clock idle level
  bool cpha = false;   // data captured on the second edge
  unsigned mode() const { return (cpol ? 2u : 0u) | (cpha ? 1u : 0u); }
};

// A device on the bus.
class SpiSlave {
 public:
  virtual ~SpiSlave() = default;
  // One whole frame during which the device was selected: `mosi` is the word
  // the master shifted out (first bit on the wire in the top bit of the
  // frame), the result the word shifted back. Called when the last clock has
  // passed.
  virtual std::uint16_t exchange(std::uint16_t mosi, const SpiFormat& format, Ticks now) = 0;
  // Chip-select edges; `mid_frame` when the edge cuts into a frame, which the
  // device then does not see whole (exchange() is not called for it).
  virtual void select(bool /*active*/, bool /*mid_frame*/, Ticks /*now*/) {}
};

class Spi : public Peripheral {
 public:
  // Clocked by its bus in `clocks`; the chip selects among `ports`.
  Spi(const Context& context, const hw::DeviceRow& row, IrqLine irq, const ClockTree& clocks, GpioPorts& ports);
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  void reset() override;
  void on_event(int kind) override;

  int number() const { return number_; }
  int irq() const { return irq_.number(); }

  // Attaches a device whose chip select is `port` pin `pin`, active low. The
  // attachment lasts for the life of the board (a model attaches from its
  // constructor); the pin is watched again after every reset.
  void attach(SpiSlave* slave, char port, int pin);
  void detach(const SpiSlave* slave);

  // One frame on the wire, as seen from outside.
  struct Frame {
    Ticks start = 0;
    Ticks end = 0;  // when the last clock had passed (or the frame was cut)
    std::uint16_t sent = 0;
    std::uint16_t received = 0;
    SpiFormat format{};
    bool cs_high = true;     // the first attached device's chip select at the start
    bool cs_steady = true;   // and it did not change during the frame
    bool completed = true;   // false when the peripheral was disabled mid-frame
  };
  const std::vector<Frame>& frames() const { return frames_; }
  void clear_frames() { frames_.clear(); }

  // Configuration as the registers hold it.
  bool enabled() const;
  bool master() const;
  unsigned prescaler() const;  // 2 to 256
  SpiFormat format() const;
  bool busy() const { return in_frame_; }
  Ticks bit_time() const;  // one clock period at the rate in force

  static constexpr std::uint32_t kCR1 = offsetof(SPI_TypeDef, CR1), kCR2 = offsetof(SPI_TypeDef, CR2),
                                 kSR = offsetof(SPI_TypeDef, SR), kDR = offsetof(SPI_TypeDef, DR),
                                 kCRCPR = offsetof(SPI_TypeDef, CRCPR), kRXCRCR = offsetof(SPI_TypeDef, RXCRCR),
                                 kTXCRCR = offsetof(SPI_TypeDef, TXCRCR), kI2SCFGR = offsetof(SPI_TypeDef, I2SCFGR),
                                 kI2SPR = offsetof(SPI_TypeDef, I2SPR);

 private:
  enum EventKind { kFrameEnd = 0 };
  struct Attachment {
    SpiSlave* slave;
    char port;
    int pin;
  };
  void watch_chip_selects();
  bool cs_level(const Attachment& a) const;
  void start_frame(std::uint16_t word);
  void end_frame();
  void abort_frame();
  void set_status(std::uint16_t set, std::uint16_t clear);
  void update_irq_line();
  Ticks bus_period() const;

  int number_;
  IrqLine irq_;
  const ClockTree& clocks_;
  GpioPorts& ports_;
  std::vector<Attachment> slaves_;
  std::vector<Frame> frames_;

  // Transfer state.
  bool in_frame_ = false;
  Frame current_{};
  std::vector<bool> cs_low_at_start_;
  std::vector<bool> cs_changed_;
  bool tx_pending_ = false;
  std::uint16_t tx_buffer_ = 0;
  std::uint16_t rx_buffer_ = 0;
  bool ovr_dr_read_ = false;   // OVR clears on a DR read followed by an SR read
  bool modf_sr_read_ = false;  // MODF clears on an SR read followed by a CR1 write
  std::vector<char> watched_ports_;
};

}  // namespace vboard
