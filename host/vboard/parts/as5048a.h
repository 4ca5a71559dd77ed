// The AS5048A magnetic position sensor on SPI2, selected while PB12 is low.
//
// Each 16-bit frame (SPI mode 1) carries a command in and shifts out the
// reply to the previous command: one frame late. Both ways bit 15 makes the
// word's parity even. Commands: bit 14 read (1) or write (0), bits 13..0 the
// address; a write command is followed by a data frame. Replies: bit 14 the
// error flag, bits 13..0 the data.
//
// Registers: 0x0000 no operation (reads 0); 0x0001 clear error flag (reads
// the error register, bit 0 framing error, bit 1 invalid command, bit 2
// parity error, then clears the flag and the register); 0x3FFD diagnostics
// and gain, 0x3FFE magnitude (fixed, a magnet in place); 0x3FFF the rotor's
// 14-bit angle, taken from the board's rotor when the command arrives. Other
// addresses read what was last written to them, 0 at first.
//
// The error flag is set by a command or data frame with bad parity, by a
// frame that is not 16 bits in mode 1 and by a chip-select edge in the middle
// of a frame.
#pragma once

#include <cstdint>
#include <vector>

#include "vboard/chip/gpio.h"
#include "vboard/chip/spi.h"
#include "vboard/parts/rotor.h"
#include "vboard/sim/model.h"

namespace vboard {

class As5048a : public Part, public SpiSlave {
 public:
  // Attaches to `spi` with its chip select among `ports`; reads the angle
  // of `rotor`.
  As5048a(const Context& context, Spi& spi, GpioPorts& ports, Rotor& rotor);
  void reset() override;

  // SPI side.
  std::uint16_t exchange(std::uint16_t mosi, const SpiFormat& format, Ticks now) override;
  void select(bool active, bool mid_frame, Ticks now) override;

  // ---- Test-facing side ----
  // The magnet's angle: the rotor stands at `degrees` from now on (or turns
  // at `degrees_per_second`).
  void set_angle(double degrees, double degrees_per_second = 0.0);
  // The angle register's count for a mechanical angle in [0, 360).
  static std::uint16_t count_of(double degrees);

  // Faults.
  void set_absent(bool absent) { absent_ = absent; }          // no sensor: the data line stays high
  void set_bad_parity(bool bad) { bad_parity_ = bad; }        // every reply's parity bit inverted
  void set_error_forced(bool forced) { error_forced_ = forced; }  // error flag set in every reply

  struct Command {
    Ticks time;          // when the frame's last clock passed
    std::uint16_t word;  // as received
    bool parity_ok;
  };
  // Frames received while selected, in order.
  const std::vector<Command>& commands() const { return commands_; }
  std::vector<std::uint16_t> command_words() const;
  void clear_commands() { commands_.clear(); }

  bool selected() const;
  bool error_flag() const { return error_flag_; }
  std::uint16_t error_register() const { return error_bits_; }

  static constexpr std::uint16_t kFramingError = 0x0001, kInvalidCommand = 0x0002, kParityError = 0x0004;
  static constexpr std::uint16_t kRegNop = 0x0000, kRegClearError = 0x0001, kRegDiagnostics = 0x3FFD,
                                 kRegMagnitude = 0x3FFE, kRegAngle = 0x3FFF;
  static constexpr std::uint16_t kDiagnostics = 0x0180;  // offset compensation finished, mid gain
  static constexpr std::uint16_t kMagnitude = 0x0E00;

 private:
  void raise_error(std::uint16_t bits);
  std::uint16_t reply(std::uint16_t data) const;
  std::uint16_t read_register(std::uint16_t address, Ticks now);

  GpioPorts& ports_;
  Rotor& rotor_;
  bool absent_ = false;
  bool bad_parity_ = false;
  bool error_forced_ = false;

  std::uint16_t pending_ = 0;
  bool error_flag_ = false;
  std::uint16_t error_bits_ = 0;
  bool write_next_ = false;  // the next frame carries data for `write_address_`
  std::uint16_t write_address_ = 0;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> written_;
  std::vector<Command> commands_;
};

}  // namespace vboard
