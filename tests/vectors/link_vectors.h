// Shared vectors of the sensor link: the parity bit and the register read as
// seen on the wire. Plain constexpr tables, usable on the host and on the
// Cortex-M4 alike.
#pragma once

#include <cstddef>
#include <cstdint>

namespace link_vectors {

struct ParityVector {
  std::uint16_t value;
  std::uint8_t parity;  // 1 when `value` holds an odd number of ones
};

inline constexpr ParityVector kParity[] = {
    {0x0000, 0}, {0x0001, 1}, {0x0003, 0}, {0x0080, 1}, {0x0100, 1}, {0x1001, 0}, {0x1234, 1},
    {0x3FFF, 0}, {0x4000, 1}, {0x4001, 0}, {0x4002, 0}, {0x5555, 0}, {0x7FFD, 0}, {0x7FFE, 0},
    {0x7FFF, 1}, {0x8000, 1}, {0x8001, 0}, {0xAAAB, 1}, {0xBEEF, 1}, {0xC000, 0}, {0xFFFF, 0},
};
inline constexpr std::size_t kParityCount = sizeof(kParity) / sizeof(kParity[0]);

// One register read. The sensor answers the read's first frame with `stale`
// (the answer to whatever came before, which the read must ignore) and its
// second frame with `reply`; every later frame gets 0x0000.
struct ReadVector {
  std::uint16_t reg;     // register address passed to the read
  std::uint16_t stale;   // reply in the first frame
  std::uint16_t reply;   // reply in the second frame
  std::uint16_t result;  // returned count
  std::uint8_t error_flag;
  std::uint8_t status_led;  // PA7 level after the read
  std::size_t sent_count;
  std::uint16_t sent[4];  // the words sent, in order
};

inline constexpr ReadVector kReads[] = {
    // Angle register: the command 0xFFFF twice.
    {0x3FFF, 0x0000, 0xFFFF, 0, 0, 0, 4, {0xFFFF, 0xFFFF, 0x4001, 0xC000}},  // data line stuck high
    {0x3FFF, 0xFFFF, 0x8001, 1, 0, 1, 2, {0xFFFF, 0xFFFF, 0, 0}},
    {0x3FFF, 0xFFFF, 0x0001, 1, 1, 1, 2, {0xFFFF, 0xFFFF, 0, 0}},            // parity wrong
    {0x3FFF, 0xFFFF, 0x0000, 0, 0, 1, 2, {0xFFFF, 0xFFFF, 0, 0}},
    {0x3FFF, 0xFFFF, 0x3FFF, 0x3FFF, 0, 1, 2, {0xFFFF, 0xFFFF, 0, 0}},
    {0x3FFF, 0xFFFF, 0xBFFF, 0x3FFF, 1, 1, 2, {0xFFFF, 0xFFFF, 0, 0}},      // parity wrong
    {0x3FFF, 0xFFFF, 0x9234, 0x1234, 0, 1, 2, {0xFFFF, 0xFFFF, 0, 0}},
    {0x3FFF, 0xFFFF, 0x1234, 0x1234, 1, 1, 2, {0xFFFF, 0xFFFF, 0, 0}},      // parity wrong
    {0x3FFF, 0xFFFF, 0x8000, 0, 1, 1, 2, {0xFFFF, 0xFFFF, 0, 0}},           // parity wrong
    // Error flag with good and with bad parity: the clear sequence either way.
    {0x3FFF, 0x8001, 0xC000, 0, 0, 0, 4, {0xFFFF, 0xFFFF, 0x4001, 0xC000}},
    {0x3FFF, 0x8001, 0x4000, 0, 0, 0, 4, {0xFFFF, 0xFFFF, 0x4001, 0xC000}},
    {0x3FFF, 0x8001, 0x7FFF, 0, 0, 0, 4, {0xFFFF, 0xFFFF, 0x4001, 0xC000}},
    // Other registers: the read bit and the parity bit set as the address needs.
    {0x0000, 0xFFFF, 0x0000, 0, 0, 1, 2, {0xC000, 0xC000, 0, 0}},
    {0x0001, 0xFFFF, 0x0005, 5, 0, 1, 2, {0x4001, 0x4001, 0, 0}},
    {0x3FFD, 0xFFFF, 0x0180, 0x0180, 0, 1, 2, {0x7FFD, 0x7FFD, 0, 0}},
    {0x3FFE, 0xFFFF, 0x8E03, 0x0E03, 0, 1, 2, {0x7FFE, 0x7FFE, 0, 0}},
    {0x1234, 0xFFFF, 0xAAAA, 0x2AAA, 0, 1, 2, {0x5234, 0x5234, 0, 0}},
};
inline constexpr std::size_t kReadCount = sizeof(kReads) / sizeof(kReads[0]);

}  // namespace link_vectors
