#include "motor_plant.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

namespace analysis {

namespace {

// States iq (A), w (rad/s), theta (rad), and the held input as a fourth
// row of the augmented matrix.
constexpr std::size_t kStates = 3;
constexpr std::size_t kAug = 4;
using Matrix = std::array<std::array<double, kAug>, kAug>;
using CVector = std::array<std::complex<double>, kStates>;

// Throws naming the value and its range unless `ok`.
void check(bool ok, const char* name, const char* range, double value) {
  if (ok) return;
  std::ostringstream os;
  os << "plant " << name << " must be " << range << " (got " << value << ")";
  throw std::invalid_argument(os.str());
}

bool positive(double v) { return std::isfinite(v) && v > 0.0; }

Matrix multiply(const Matrix& a, const Matrix& b) {
  Matrix c{};
  for (std::size_t i = 0; i < kAug; ++i) {
    for (std::size_t k = 0; k < kAug; ++k) {
      for (std::size_t j = 0; j < kAug; ++j) c[i][j] += a[i][k] * b[k][j];
    }
  }
  return c;
}

// e^{M t} by scaling and squaring: M t is halved until its norm is at most
// 1/2, where 20 terms of the series leave an error far below double's
// rounding, and the result squared back.
Matrix exponential(const Matrix& m, double t) {
  double norm = 0.0;
  for (const auto& row : m) {
    double sum = 0.0;
    for (const double v : row) sum += std::abs(v * t);
    norm = std::max(norm, sum);
  }
  const int squarings = norm > 0.5 ? static_cast<int>(std::ceil(std::log2(norm / 0.5))) : 0;
  const double scale = std::ldexp(t, -squarings);
  Matrix result{}, term{};
  for (std::size_t i = 0; i < kAug; ++i) result[i][i] = term[i][i] = 1.0;
  for (int k = 1; k <= 20; ++k) {
    Matrix next = multiply(term, m);
    for (auto& row : next) {
      for (double& v : row) v *= scale / k;
    }
    term = next;
    for (std::size_t i = 0; i < kAug; ++i) {
      for (std::size_t j = 0; j < kAug; ++j) result[i][j] += term[i][j];
    }
  }
  for (int s = 0; s < squarings; ++s) result = multiply(result, result);
  return result;
}

// Solves a x = b by Gaussian elimination with partial pivoting.
CVector solve(std::array<CVector, kStates> a, CVector b) {
  for (std::size_t col = 0; col < kStates; ++col) {
    std::size_t pivot = col;
    for (std::size_t r = col + 1; r < kStates; ++r) {
      if (std::abs(a[r][col]) > std::abs(a[pivot][col])) pivot = r;
    }
    std::swap(a[col], a[pivot]);
    std::swap(b[col], b[pivot]);
    for (std::size_t r = col + 1; r < kStates; ++r) {
      const std::complex<double> f = a[r][col] / a[col][col];
      for (std::size_t c = col; c < kStates; ++c) a[r][c] -= f * a[col][c];
      b[r] -= f * b[col];
    }
  }
  CVector x{};
  for (std::size_t r = kStates; r-- > 0;) {
    std::complex<double> sum = b[r];
    for (std::size_t c = r + 1; c < kStates; ++c) sum -= a[r][c] * x[c];
    x[r] = sum / a[r][r];
  }
  return x;
}

}  // namespace

// Exact discretisation in state space. The delay tau = k T + theta
// (0 <= theta <= T) splits each period: the held input takes its new value
// theta after the sample, so
//
//   x[n+1] = Phi x[n] + Gb u[n] + Ga u[n-1]
//   Phi = e^{A T},  Gb = G(T - theta),  Ga = e^{A (T - theta)} G(theta),
//   G(t) = integral from 0 to t of e^{A s} B ds
//
// and P(z) = z^-k C (zI - Phi)^-1 (Gb + Ga z^-1). e^{A t} and G(t) come
// together from the exponential of the augmented matrix [[A, B], [0, 0]].
// Chosen over partial fractions of the ZOH's modified z-transform: no case
// split for real, complex or repeated electrical and mechanical poles, and
// the integrator needs no term of its own.
Response motor_plant_response(const MotorConstants& motor, const PlantSampling& sampling, std::span<const double> hz) {
  check(motor.pole_pairs >= 1 && motor.pole_pairs <= 100, "pole_pairs", "1 to 100", motor.pole_pairs);
  check(positive(motor.phase_resistance_ohm), "phase_resistance_ohm", "above 0", motor.phase_resistance_ohm);
  check(positive(motor.phase_inductance_h), "phase_inductance_h", "above 0", motor.phase_inductance_h);
  check(positive(motor.torque_constant_nm_per_a), "torque_constant_nm_per_a", "above 0",
        motor.torque_constant_nm_per_a);
  check(positive(motor.inertia_kg_m2), "inertia_kg_m2", "above 0", motor.inertia_kg_m2);
  check(std::isfinite(motor.viscous_nm_s_per_rad) && motor.viscous_nm_s_per_rad >= 0.0, "viscous_nm_s_per_rad",
        "0 or more", motor.viscous_nm_s_per_rad);
  check(positive(sampling.period_s) && sampling.period_s <= 1.0, "period_s", "above 0 up to 1", sampling.period_s);
  check(std::isfinite(sampling.delay_s) && sampling.delay_s >= 0.0 && sampling.delay_s <= 1.0, "delay_s", "0 to 1",
        sampling.delay_s);
  check(positive(sampling.vq_per_uq) && sampling.vq_per_uq <= 10.0, "vq_per_uq", "above 0 up to 10",
        sampling.vq_per_uq);
  // Above half the sample rate the response only repeats; at the sample
  // rate the integrator makes it infinite.
  for (const double f : hz) {
    check(positive(f) && f * sampling.period_s <= 0.5, "frequency (Hz)", "above 0 up to half the sample rate", f);
  }

  const double r = motor.phase_resistance_ohm, l = motor.phase_inductance_h, kt = motor.torque_constant_nm_per_a;
  const double j = motor.inertia_kg_m2, b = motor.viscous_nm_s_per_rad;
  // The back-EMF constant: w_e lambda = p w kt / (1.5 p); the pole pairs cancel.
  const double lambda = kt / (1.5 * motor.pole_pairs);
  const double ke = motor.pole_pairs * lambda;

  Matrix m{};
  m[0][0] = -r / l;
  m[0][1] = -ke / l;
  m[0][3] = sampling.vq_per_uq / l;
  m[1][0] = kt / j;
  m[1][1] = -b / j;
  m[2][1] = 1.0;

  const double period = sampling.period_s;
  const double whole = std::floor(sampling.delay_s / period);
  const double theta = std::clamp(sampling.delay_s - whole * period, 0.0, period);
  const Matrix late = exponential(m, period - theta);  // e^{A (T - theta)} and G(T - theta)
  const Matrix early = exponential(m, theta);
  const Matrix full = multiply(late, early);  // its state block is e^{A T}

  std::array<double, kStates> gb{}, ga{};
  for (std::size_t i = 0; i < kStates; ++i) {
    gb[i] = late[i][3];
    for (std::size_t k = 0; k < kStates; ++k) ga[i] += late[i][k] * early[k][3];
  }

  constexpr double kDegPerRad = 180.0 / std::numbers::pi;
  Response out;
  out.reserve(hz.size());
  for (const double f : hz) {
    const double w = 2.0 * std::numbers::pi * f * period;
    const std::complex<double> z = std::polar(1.0, w);
    std::array<CVector, kStates> a{};
    CVector rhs{};
    for (std::size_t i = 0; i < kStates; ++i) {
      for (std::size_t k = 0; k < kStates; ++k) a[i][k] = (i == k ? z : 0.0) - full[i][k];
      rhs[i] = gb[i] + ga[i] / z;
    }
    const CVector x = solve(a, rhs);
    out.push_back({f, kDegPerRad * x[2] * std::polar(1.0, -w * whole)});
  }
  return out;
}

}  // namespace analysis
