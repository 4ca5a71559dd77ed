// Shared vectors of the ground-station sensor frame and of the main loop's
// angle-to-slot conversion. Used by the host tests and run on the Cortex-M4
// as well, so: plain structs, constexpr arrays, no library beyond the
// fixed-width integers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace frame_vectors {

// Nine slot values (a_x a_y a_z g_x g_y g_z m_x m_y m_z) and the 23 bytes of
// their frame on the wire.
struct FrameVector {
  const char* name;
  std::int16_t values[9];
  std::uint8_t bytes[23];
};

inline constexpr FrameVector kFrames[] = {
    {"all zero",
     {0, 0, 0, 0, 0, 0, 0, 0, 0},
     {0xAA, 0xAA, 0x02, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x68}},
    {"a_x 1234 and a_y 10000",
     {1234, 10000, 0, 0, 0, 0, 0, 0, 0},
     {0xAA, 0xAA, 0x02, 0x12, 0x04, 0xD2, 0x27, 0x10, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x75}},
    {"a_x -50",
     {-50, 0, 0, 0, 0, 0, 0, 0, 0},
     {0xAA, 0xAA, 0x02, 0x12, 0xFF, 0xCE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x35}},
    {"a_x -25536",
     {-25536, 0, 0, 0, 0, 0, 0, 0, 0},
     {0xAA, 0xAA, 0x02, 0x12, 0x9C, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x44}},
    {"a_x -32768",
     {-32768, 0, 0, 0, 0, 0, 0, 0, 0},
     {0xAA, 0xAA, 0x02, 0x12, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE8}},
    {"a_y 32767",
     {0, 32767, 0, 0, 0, 0, 0, 0, 0},
     {0xAA, 0xAA, 0x02, 0x12, 0x00, 0x00, 0x7F, 0xFF, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE6}},
    {"every slot -1, the sum wraps many times",
     {-1, -1, -1, -1, -1, -1, -1, -1, -1},
     {0xAA, 0xAA, 0x02, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x56}},
    {"every slot its own value, in slot order",
     {1, -1, 32767, -32768, 256, 255, -256, 0x1234, -2},
     {0xAA, 0xAA, 0x02, 0x12, 0x00, 0x01, 0xFF, 0xFF, 0x7F, 0xFF, 0x80, 0x00,
      0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x12, 0x34, 0xFF, 0xFE, 0xA7}},
    {"header bytes inside the payload",
     {-21846, 0x0212, -21846, 0x0212, 0, 0, 0, 0, 0},
     {0xAA, 0xAA, 0x02, 0x12, 0xAA, 0xAA, 0x02, 0x12, 0xAA, 0xAA, 0x02, 0x12,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x38}},
};
inline constexpr std::size_t kFrameCount = sizeof(kFrames) / sizeof(kFrames[0]);

// An angle in degrees and the slot value the main loop sends for it: the
// single-precision product with 100, truncated toward zero to 32 bits
// (saturating, NaN to 0, as the Cortex-M4 converts), then the low 16 bits as
// a signed value.
struct AngleVector {
  const char* name;
  float degrees;
  std::int16_t slot;
};

inline constexpr AngleVector kAngles[] = {
    {"zero", 0.0f, 0},
    {"negative zero", -0.0f, 0},
    {"half a degree below zero", -0.5f, -50},
    {"one key press", 100.0f, 10000},
    {"one key press down", -100.0f, -10000},
    {"the sensor's zero offset", -40.0f, -4000},
    {"hundredths", 12.34f, 1234},
    {"the top of the 16-bit range", 327.67f, 32767},
    {"the bottom of the 16-bit range", -327.68f, -32768},
    {"400 degrees wraps", 400.0f, -25536},
    {"327.68 rounds up to 32768 in single precision and wraps", 327.68f, -32768},
    {"one hundredth below the range wraps to the top", -327.69f, 32767},
    {"0.29 gives 29 in single precision (28 in double)", 0.29f, 29},
    {"359.99 gives 35999 in single precision (35998 in double)", 359.99f, -29537},
    {"655.36 rounds to 65536 and wraps to 0", 655.36f, 0},
    {"1000 degrees wraps", 1000.0f, -31072},
    {"less than a hundredth truncates to 0", 0.009f, 0},
    {"less than a hundredth below zero truncates toward zero", -0.009f, 0},
    {"-1.5 hundredths truncates toward zero", -0.015f, -1},
    {"beyond the 32-bit range saturates high", 3.0e7f, -1},
    {"beyond the 32-bit range saturates low", -3.0e7f, 0},
    {"the product rounds to 2^31 and saturates", 21474836.0f, -1},
    {"positive infinity saturates", __builtin_inff(), -1},
    {"negative infinity saturates", -__builtin_inff(), 0},
    {"not a number gives 0", __builtin_nanf(""), 0},
};
inline constexpr std::size_t kAngleCount = sizeof(kAngles) / sizeof(kAngles[0]);

}  // namespace frame_vectors
