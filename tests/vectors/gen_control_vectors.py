#!/usr/bin/env python3
# Generates tests/vectors/control_vectors.h: expected results of the PID step,
# the sine table, the inverse Park step, the angle decoder, the space-vector
# modulation and the control chain, computed here step by step in IEEE arithmetic, independently of the
# firmware. A single-precision +, -, * or / of two float32 values equals the
# double result rounded to float32, so each single-precision step is emulated
# exactly by f32(double op); double-precision steps are plain Python floats.
#
# Usage, from this directory: python3 gen_control_vectors.py > control_vectors.h
import math
import struct
import sys
from fractions import Fraction

NAN = float('nan')


def f32(x):
    try:
        return struct.unpack('<f', struct.pack('<f', x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def bits(x):
    if math.isnan(x):
        return 0x7FC00000
    return struct.unpack('<I', struct.pack('<f', x))[0]


def next_up(x):
    b = bits(x)
    return struct.unpack('<f', struct.pack('<I', b + 1 if x >= 0 else b - 1))[0]


def round_f32_exact(q):
    """Rounds an exact rational to float32, nearest-even (normal range only)."""
    if q == 0:
        return 0.0
    sign = -1.0 if q < 0 else 1.0
    a = abs(q)
    e = a.numerator.bit_length() - a.denominator.bit_length()
    if Fraction(2) ** e > a:
        e -= 1
    m = a / (Fraction(2) ** (e - 23))  # in [2^23, 2^24)
    n = math.floor(m)
    r = m - n
    if r > Fraction(1, 2) or (r == Fraction(1, 2) and n % 2 == 1):
        n += 1
    return sign * float(Fraction(n) * Fraction(2) ** (e - 23))


def fma32(a, b, c):
    return round_f32_exact(Fraction(a) * Fraction(b) + Fraction(c))


# ---------------------------------------------------------------- PID

def pid_step(s):
    """s: dict of the record fields; returns the fields after one step."""
    s = dict(s)
    e = f32(s['Des'] - s['FB'])
    if abs(e) <= s['EMin']:
        e = 0.0
    s['E'] = e
    s['SumE'] = f32(s['SumE'] + e)
    p = f32(s['Kp'] * e)
    i = f32(s['Ki'] * s['SumE'])
    d = f32(s['Kd'] * f32(e - s['PreE']))
    u = f32(f32(p + i) + d)
    # The same step with a multiply-add fused, to find contraction-sensitive cases.
    fused = set()
    if all(map(math.isfinite, (p, i, d, e))):
        fused.add(f32(fma32(s['Kd'], f32(e - s['PreE']), f32(p + i))))
        fused.add(f32(f32(fma32(s['Kp'], e, i)) + d))
    s['fused_differs'] = any(v != u for v in fused)
    s['PreE'] = e
    if u > s['UMax']:
        u = s['UMax']
    elif u < s['UMin']:
        u = s['UMin']
    s['U'] = u
    return s


INITIAL_PID = dict(Des=0.0, FB=0.0, Kp=f32(0.26), Ki=f32(0.04), Kd=f32(0.06), PreE=0.0, SumE=0.0,
                   UMax=12.0, UMin=-12.0, EMin=0.0)

PID_IN = ['Des', 'FB', 'Kp', 'Ki', 'Kd', 'PreE', 'SumE', 'UMax', 'UMin', 'EMin']
PID_OUT = ['E', 'SumE', 'U', 'PreE']


def pid_cases():
    cases = []

    def add(name, **kw):
        s = dict(INITIAL_PID)
        s.update({k: f32(v) for k, v in kw.items()})
        out = pid_step(s)
        cases.append((name, s, out))
        return out

    first = add('first step after a 100 degree setpoint step: 36 clamped to 12', Des=100.0)
    add('first step of a 100 degree step downward: -36 clamped to -12', FB=100.0)
    add('zero error from rest: output stays 0')
    # The steps after the first one, closing in on the setpoint, each
    # starting from the record the step before left.
    s = {k: first[k] for k in PID_IN}
    for n, fb in enumerate([20.0, 55.5, 80.25, 93.0, 98.5, 100.0, 101.75, 100.0]):
        s['FB'] = f32(fb)
        out = pid_step(s)
        cases.append(('approach step %d, feedback %g' % (n + 2, fb), dict(s), out))
        s = {k: out[k] for k in PID_IN}
    add('integral keeps winding up while clamped', Des=100.0, FB=10.0, SumE=5000.0, PreE=90.0)
    add('wound-up integral drives the output the other way', Des=0.0, FB=10.0, SumE=-400.0, PreE=-10.0)
    add('output inside the limits, all three terms', Des=37.5, FB=30.125, SumE=12.0625, PreE=8.5)
    # Dead band.
    add('error of exactly the dead band counts as zero', Des=10.5, FB=10.0, EMin=0.5, SumE=3.0, PreE=1.0)
    add('negative error of exactly the dead band counts as zero', Des=10.0, FB=10.5, EMin=0.5, SumE=3.0, PreE=1.0)
    add('error just above the dead band is kept', Des=next_up(0.5), FB=0.0, EMin=0.5, SumE=3.0, PreE=1.0)
    add('error inside the dead band counts as zero', Des=10.25, FB=10.0, EMin=0.5, SumE=-2.0, PreE=0.25)
    add('negative zero error becomes zero', Des=-0.0, FB=0.0, SumE=1.0, PreE=0.0)
    # Limits.
    add('output exactly at the upper limit stays', Des=12.0, Kp=1.0, Ki=0.0, Kd=0.0)
    add('output exactly at the lower limit stays', Des=-12.0, Kp=1.0, Ki=0.0, Kd=0.0)
    add('output just above the upper limit is clamped', Des=next_up(12.0), Kp=1.0, Ki=0.0, Kd=0.0)
    add('output just below the lower limit is clamped', Des=-next_up(12.0), Kp=1.0, Ki=0.0, Kd=0.0)
    add('infinite error saturates at the upper limit', Des=math.inf)
    # NaN.
    add('NaN setpoint: error, sum and output are NaN, the clamp lets it through', Des=NAN)
    add('NaN feedback: NaN survives the dead band', FB=NAN, EMin=0.5)
    add('NaN sum from an earlier step keeps the output NaN', Des=50.0, FB=49.0, SumE=NAN)
    add('NaN previous error reaches the output through the derivative', Des=5.0, PreE=NAN)
    # Rounding: products are rounded before they are added.
    found = 0
    for k in range(1, 20000):
        des = f32(k * 0.37 - 3000.0)
        fb = f32(k * 0.011)
        sume = f32(k * 1.7 - 900.0)
        pree = f32(k * 0.093 - 40.0)
        s = dict(INITIAL_PID, Des=des, FB=fb, SumE=sume, PreE=pree, UMax=1e9, UMin=-1e9)
        out = pid_step(s)
        if out['fused_differs'] and abs(out['U']) < 1e6:
            cases.append(('unfused products, wide limits, case %d' % (found + 1), s, out))
            found += 1
            if found == 3:
                break
    assert found == 3
    return cases


# ---------------------------------------------------------------- sine table and inverse Park

SIN_TABLE = [int(math.sin(i * math.pi / 180.0) * 65536.0) for i in range(181)]
assert SIN_TABLE[1] == 1143 and SIN_TABLE[30] == 32767 and SIN_TABLE[60] == 56755
assert SIN_TABLE[90] == 65536 and SIN_TABLE[150] == 32767 and SIN_TABLE[180] == 0


def anti_park(theta, ud, uq):
    point = theta % 360  # Python's % is the Euclidean wrap into 0..359
    if point < 90:
        c = SIN_TABLE[90 - point]
    elif point < 270:
        c = -SIN_TABLE[270 - point]
    else:
        c = SIN_TABLE[point - 270]
    if point < 180:
        s = SIN_TABLE[point]
    else:
        s = -SIN_TABLE[point - 180]
    cf, sf = f32(float(c)), f32(float(s))
    ualpha = f32(f32(ud * cf) - f32(uq * sf))
    ubeta = f32(f32(ud * sf) + f32(uq * cf))
    fused = set()
    if all(map(math.isfinite, (ud, uq))):
        fused.add(fma32(ud, cf, -f32(uq * sf)))
        fused.add(fma32(-uq, sf, f32(ud * cf)))
        fused.add(fma32(ud, sf, f32(uq * cf)))
        fused.add(fma32(uq, cf, f32(ud * sf)))
    differs = any(v not in (ualpha, ubeta) for v in fused)
    return c, s, ualpha, ubeta, differs


def park_cases():
    cases = []

    def add(name, theta, ud, uq):
        ud, uq = f32(ud), f32(uq)
        c, s, a, b, differs = anti_park(theta, ud, uq)
        cases.append((name, theta, ud, uq, c, s, a, b))
        return differs

    add('angle 0: cosine 65536, sine 0', 0, 0.0, 12.0)
    add('angle 30: truncated sine 32767', 30, 0.0, 12.0)
    add('angle 90: cosine from entry 180', 90, 0.0, 12.0)
    add('angle 180', 180, 0.0, 12.0)
    add('angle 270', 270, 0.0, 12.0)
    add('angle 360 is taken like 0', 360, 0.0, 12.0)
    add('angle 0 at the lower output limit', 0, 0.0, -12.0)
    add('zero command', 123, 0.0, 0.0)
    for theta, ud, uq in [(1, 0.0, 12.0), (45, 0.0, -7.3), (60, 2.5, 11.75), (89, -1.1, 0.1), (91, 0.0, 12.0),
                          (135, 3.0, -3.0), (150, 0.0, 12.0), (179, 1.0, 1.0), (181, -2.0, 6.5),
                          (225, 0.0, -12.0), (269, 0.25, 9.0), (271, 0.0, 12.0), (300, -4.75, -0.5),
                          (315, 1.0, -1.0), (359, 0.0, 12.0)]:
        add('angle %d' % theta, theta, ud, uq)
    found = 0
    for k in range(1, 5000):
        theta = (k * 37) % 360
        ud = f32(k * 0.0131 - 7.0)
        uq = f32(11.9 - k * 0.0047)
        if anti_park(theta, ud, uq)[4]:
            add('unfused products, case %d' % (found + 1), theta, ud, uq)
            found += 1
            if found == 3:
                break
    assert found == 3
    add('NaN command gives NaN outputs', 30, 0.0, NAN)
    add('NaN direct-axis command', 0, NAN, 12.0)
    # Outside 0..360 the angle is wrapped into a full turn, so no table read
    # leaves the table.
    add('angle 361 wraps to 1', 361, 0.0, 12.0)
    add('angle 540 wraps to 180', 540, 0.0, 12.0)
    add('angle 720 wraps to 0', 720, 0.0, 12.0)
    add('angle -1 wraps to 359', -1, 0.0, 12.0)
    add('angle -90 wraps to 270', -90, 1.0, 12.0)
    add('angle -360 wraps to 0', -360, 0.0, 12.0)
    add('angle 65566 wraps to 46', 65566, 0.0, 12.0)
    add('largest angle', 2**31 - 1, 0.0, 12.0)
    add('most negative angle', -2**31, 0.0, 12.0)
    return cases


# ---------------------------------------------------------------- angle decoder

BOUNDS = [f32(x) for x in (51.42857, 102.85714, 154.28571, 205.71428, 257.14285, 308.57142, 360.0)]
OFFSETS = [0.0, 360.0, 720.0, 1080.0, 1440.0, 1800.0, 2160.0]

DEC_OUT = ['DutyCycle', 'DutyCycle_Corre', 'PitchAngle', 'LastPitchAngle', 'NowPithchAngle', 'DiffPithchAngle',
           'AbPitchAngle', 'ElePitchAngle', 'Theta', 'UqAngle', 'Frequency']


def trunc_i32(x):
    if math.isnan(x):
        return 0
    if x >= 2147483648.0:
        return 2**31 - 1
    if x <= -2147483649.0:
        return -2**31
    return int(x)


def decoder_initial():
    return dict(DutyCycle=0.0, DutyCycle_Corre=0.0, PitchAngle=0.0, LastPitchAngle=0.0, NowPithchAngle=0.0,
                DiffPithchAngle=0.0, AbPitchAngle=0.0, ElePitchAngle=0.0, Theta=0, UqAngle=0, Frequency=0.0,
                AngleComp=40.0)


# Periods the sensor can send (900 to 1100 Hz, one per cent margin); any
# other capture, 0 included, is skipped.
PERIOD_MIN, PERIOD_MAX = 9450, 11783


def decode(st, ic1, ic2):
    st = dict(st)
    if ic1 < PERIOD_MIN or ic1 > PERIOD_MAX:
        st['DutyCycle'] = 0.0
        st['Frequency'] = 0.0
        return st
    d = f32(f32(float(ic2 * 100)) / f32(float(ic1)))
    duty = f32(d / 99.467 * 100.0)
    st['DutyCycle'] = duty
    st['DutyCycle_Corre'] = f32(duty - 100.0) if duty >= 100.0 else duty
    p = f32(duty * 3.6 - st['AngleComp'])
    if p < 0.0:
        p = f32(p + 360.0)
    st['PitchAngle'] = p
    st['LastPitchAngle'] = st['NowPithchAngle']
    st['NowPithchAngle'] = p
    diff = f32(st['NowPithchAngle'] - st['LastPitchAngle'])
    st['DiffPithchAngle'] = diff
    if diff >= 200.0:
        st['AbPitchAngle'] = f32(st['AbPitchAngle'] + f32(diff - 360.0))
    elif diff <= -200.0:
        st['AbPitchAngle'] = f32(st['AbPitchAngle'] + f32(diff + 360.0))
    else:
        st['AbPitchAngle'] = f32(st['AbPitchAngle'] + diff)
    lower = 0.0
    for row, upper in enumerate(BOUNDS):
        if lower < p <= upper:
            if row == 0:
                st['ElePitchAngle'] = f32(p * 7.0)
            else:
                st['ElePitchAngle'] = f32(p * 7.0 - OFFSETS[row])
            break
        lower = upper
    st['Theta'] = trunc_i32(360.0 - st['ElePitchAngle'])
    uq = f32(st['ElePitchAngle'] + 90.0)
    if uq > 360.0:
        uq = f32(uq - 360.0)
    st['UqAngle'] = trunc_i32(uq)
    st['Frequency'] = f32(10500000.0 / f32(float(ic1)))
    return st


def capture_for(target, ic1=10500, comp=40.0):
    """The high time whose decoded mechanical angle is closest to target."""
    duty = (target + comp) / 3.6 if target + comp < 360.0 else (target + comp - 360.0) / 3.6
    guess = round(duty * 0.99467 * ic1 / 100.0)
    best = None
    for ic2 in range(max(0, guess - 3), min(65535, guess + 3) + 1):
        st = decode(dict(decoder_initial(), AngleComp=comp), ic1, ic2)
        err = abs(st['PitchAngle'] - target)
        if best is None or err < best[0]:
            best = (err, ic2)
    return best[1]


def exact(p, ic1=10500):
    """A capture with no high time and the zero offset set to -p: the decoded
    mechanical angle is then exactly p (for p >= 0)."""
    return (f32(-p) if p != 0.0 else 0.0, ic1, 0)


def decoder_sequences():
    seqs = []

    def seq(name, steps, comment):
        st = decoder_initial()
        rows = []
        for comp, ic1, ic2 in steps:
            st['AngleComp'] = f32(comp)
            st = decode(st, ic1, ic2)
            rows.append((comp, ic1, ic2, dict(st)))
        seqs.append((name, rows, comment))
        return st

    seq('worked example between two lost periods',
        [(40.0, 0, 123), (40.0, 10500, 5250), (40.0, 0, 5250)],
        'A period count of 0 changes only DutyCycle and Frequency, both to 0.')
    realistic = [(40.0, 10500, capture_for(t)) for t in (10.0, 350.0, 10.0)]
    seq('rotor passing through zero, sensor captures', realistic,
        'About 10, then about 350 (down through 0), then about 10 again (up through 360).')
    seq('rotor passing through zero, exact angles', [exact(10.0), exact(350.0), exact(10.0)],
        'Samples 10 -> 350 give a step of 340: the absolute angle goes down by 20; 350 -> 10 brings it back.')
    a = f32(209.9)
    seq('steps of exactly 200 degrees wrap, 199.9 do not',
        [exact(10.0), exact(210.0), exact(10.0), exact(a), exact(10.0)],
        '10 -> 210 -> 10 are wraps (-160, +160); 10 -> 209.9 -> 10 are plain steps.')
    steps = []
    for b in BOUNDS:
        steps.append(exact(b))
        steps.append(exact(next_up(b)))
    seq('row bounds of the electrical angle', steps,
        'Each bound (upper end of its row, inclusive) and the next float above it. 51.42857f * 7 rounds to '
        'exactly 360, so the first bound gives an electrical angle of 360 and a transform angle of 0. '
        'Above 360 the electrical angle is left as it was.')
    seq('small and whole-number electrical angles',
        [exact(0.001), exact(90.0), exact(180.0), exact(45.0), exact(300.0)],
        'Mechanical 90 gives electrical 270: UqAngle is 360 (not above 360, so not wrapped).')
    seq('mechanical angle exactly 0 keeps the electrical angle',
        [exact(0.0), exact(100.0), exact(0.0), exact(400.0)],
        'From reset the electrical angle stays 0, so the transform angle becomes 360.')
    seq('high time longer than the period',
        [(40.0, 10500, 5250), (40.0, 10500, 10500), (40.0, 10500, 21000), (40.0, 10500, 5250)],
        'Full high time gives a duty above 100; twice the period puts the mechanical angle above 360, '
        'which leaves the electrical angle unchanged and is unwrapped like any other sample.')
    seq('duty at the correction threshold',
        [(40.0, 10319, 10263), (40.0, 10319, 10264), (40.0, 10319, 10265), (40.0, 9850, 9798)],
        'Duty just below 100 is kept, exactly 100 and above are reduced by 100 in DutyCycle_Corre.')
    seq('negative mechanical angle wraps to the top of the turn',
        [(40.0, 10500, 0), (40.0, 10500, 100), (40.0, 10500, 1000)],
        'No high time: duty 0, 0 * 3.6 - 40 = -40, plus 360 = 320.')
    fwd = [30.0, 90.0, 150.0, 210.0, 270.0, 330.0, 30.0, 90.0, 150.0]
    back = [90.0, 30.0, 330.0, 270.0]
    seq('one and a half turns forward, then back', [(40.0, 10500, capture_for(t)) for t in fwd + back],
        'Steps of about 60 degrees; the absolute angle follows across 360 both ways.')
    seq('other periods', [(40.0, 9450, 4725), (40.0, 11783, 5891), (40.0, 9449, 4725), (40.0, 11784, 5892),
                          (40.0, 9000, 4500), (40.0, 21000, 10500), (40.0, 65535, 65535), (40.0, 1, 0),
                          (40.0, 1, 1), (40.0, 65535, 1), (40.0, 10000, 2500)],
        'From 9450 to 11783 counts (the sensor at 900 to 1100 Hz) the duty and not the period sets the angle and '
        'Frequency is 10.5 MHz over the period count; any other period is skipped like a period of 0.')
    return seqs


# ---------------------------------------------------------------- space-vector modulation

FLT_MAX = struct.unpack('<f', struct.pack('<I', 0x7F7FFFFF))[0]
PWM_PERIOD = 50
SV_LIMIT = f32(f32(12.0 * 65536.0) * f32(0.577350269))  # supply / sqrt(3), volts x 65536
SV_LIMIT_SQUARED = f32(SV_LIMIT * SV_LIMIT)
SV_HALF_SQRT3 = f32(0.866025404)
SV_COUNTS_PER_UNIT = round_f32_exact(Fraction(PWM_PERIOD, 12 * 65536))
SV_HALF_COUNTS_PER_UNIT = f32(0.5 * SV_COUNTS_PER_UNIT)
SV_CENTRE_ROUNDED = 25.5
SV_OUT = ['Ua', 'Ub', 'Uc', 'Tx', 'Ty', 'Tz', 'taOn', 'tbOn', 'tcOn']
SV_ZERO = dict(Ua=0, Ub=0, Uc=0, Tx=0, Ty=0, Tz=PWM_PERIOD, taOn=25, tbOn=25, tcOn=25)


def sqrt32(x):
    # The square root of a float32, correctly rounded to float32: the double
    # result is within half a double ulp, far inside one float32 rounding step.
    return f32(math.sqrt(x))


def svpwm(alpha, beta):
    """Centred space-vector modulation of (alpha, beta) in volts x 65536:
    limit to the inscribed circle, project onto the phase axes, min-max
    injection, compare values rounded to the nearest count."""
    length2 = f32(f32(alpha * alpha) + f32(beta * beta))
    if not (length2 <= SV_LIMIT_SQUARED):
        if not (math.isfinite(alpha) and math.isfinite(beta)):
            return dict(SV_ZERO)
        s2 = length2
        if not (s2 <= FLT_MAX):
            alpha = f32(alpha * 2.0 ** -64)
            beta = f32(beta * 2.0 ** -64)
            s2 = f32(f32(alpha * alpha) + f32(beta * beta))
        shrink = f32(SV_LIMIT / sqrt32(s2))
        alpha = f32(alpha * shrink)
        beta = f32(beta * shrink)
    half = f32(-0.5 * alpha)
    cross = f32(SV_HALF_SQRT3 * beta)
    va, vb, vc = alpha, f32(half + cross), f32(half - cross)
    top_ab, bottom_ab = (va, vb) if va > vb else (vb, va)
    top = top_ab if top_ab > vc else vc
    bottom = bottom_ab if bottom_ab < vc else vc
    offset = f32(SV_CENTRE_ROUNDED - f32(f32(top + bottom) * SV_HALF_COUNTS_PER_UNIT))

    def on(x):
        return int(f32(f32(x * SV_COUNTS_PER_UNIT) + offset))

    ta, tb, tc = on(va), on(vb), on(vc)
    high, low = on(top), on(bottom)
    middle = ta + tb + tc - high - low
    out = dict(Ua=int(va), Ub=int(vb), Uc=int(vc), Tx=high - middle, Ty=middle - low,
               Tz=PWM_PERIOD - (high - low), taOn=ta, tbOn=tb, tcOn=tc)
    assert all(0 <= out[k] <= PWM_PERIOD for k in ('taOn', 'tbOn', 'tcOn', 'Tx', 'Ty', 'Tz'))
    return out


def polar(volts, degrees):
    t = math.radians(degrees)
    return f32(volts * 65536.0 * math.cos(t)), f32(volts * 65536.0 * math.sin(t))


def svpwm_cases():
    cases = []

    def add(name, alpha, beta):
        alpha, beta = f32(alpha), f32(beta)
        cases.append((name, alpha, beta, svpwm(alpha, beta)))

    add('zero vector: three half duties', 0.0, 0.0)
    add('negative zero', -0.0, -0.0)
    for deg in range(0, 360, 60):
        add('4.8 V on the sector boundary at %d degrees' % deg, *polar(4.8, deg))
    for deg in range(15, 360, 60):
        add('4.8 V at %d degrees, sector %d' % (deg, deg // 60 + 1), *polar(4.8, deg))
    for deg in (30, 90, 210, 330):
        add('4.8 V at %d degrees, the middle of a sector' % deg, *polar(4.8, deg))
    add('small vector, 0.05 V at 200 degrees', *polar(0.05, 200.0))
    add('0.24 V along phase A: 1.5 counts between the phases', 0.24 * 65536.0, 0.0)
    add('largest vector along phase A, not shortened', SV_LIMIT, 0.0)
    add('next float above the largest vector along phase A, shortened', next_up(SV_LIMIT), 0.0)
    add('largest vector along phase B', f32(-0.5 * SV_LIMIT), f32(SV_HALF_SQRT3 * SV_LIMIT))
    add('largest vector in the middle of sector 1: phases at 50 and 0',
        f32(SV_LIMIT * f32(0.866025404)), f32(SV_LIMIT * 0.5))
    add('7 V at 30 degrees, shortened to the limit', *polar(7.0, 30.0))
    add('7 V at 100 degrees, shortened to the limit', *polar(7.0, 100.0))
    add('12 V along beta (PID at its upper limit, angle 0)', 0.0, 786432.0)
    add('12 V along minus alpha (PID at its upper limit, angle 90)', -786432.0, 0.0)
    add('12 V at angle 30 of the table', f32(-12.0 * 32767.0), f32(12.0 * 56755.0))
    add('-12 V at angle 225 of the table', f32(-12.0 * 46340.0), f32(12.0 * 46340.0))
    add('huge finite vector: squares overflow, direction kept', 1e30, -1e30)
    add('largest float along alpha', FLT_MAX, 0.0)
    add('huge alpha, tiny beta', 3e38, 1e-30)
    add('huge beta, negative', 0.0, -2e25)
    add('NaN alpha gives the zero vector', NAN, 0.0)
    add('NaN beta gives the zero vector', 1000.0, NAN)
    add('infinite alpha gives the zero vector', math.inf, 0.0)
    add('minus infinite beta gives the zero vector', 0.0, -math.inf)
    add('both infinite', math.inf, -math.inf)
    add('subnormal components', 1e-40, -1e-40)
    return cases


# ---------------------------------------------------------------- control chain

def chain_steps():
    dec = decoder_initial()
    pid = dict(INITIAL_PID)
    rows = []
    plan = [(None, 0.0), (None, 100.0), ((10500, 5250), 100.0), ((10500, capture_for(120.0)), 100.0),
            ((10500, capture_for(105.0)), 100.0), ((10500, capture_for(101.0)), 100.0),
            ((10500, capture_for(99.5)), 100.0), (None, 100.0), ((10500, capture_for(100.2)), 0.0),
            ((10500, capture_for(60.0)), 0.0), ((10500, capture_for(5.0)), 0.0),
            ((10500, capture_for(355.0)), 0.0), ((10500, 0), 0.0), ((0, 0), 0.0),
            (None, 100.0), ((10500, capture_for(350.0)), 100.0), (None, 100.0), (None, 100.0),
            ((10500, capture_for(345.0)), 100.0)]
    theta = 0
    # The drive is on while a capture has been decoded within the last two
    # control works (a period count of 0 is not decoded); off from reset
    # until the first one.
    decoded = 0
    seen = 0
    quiet = 2
    for cap, des in plan:
        if cap is not None:
            dec = decode(dec, cap[0], cap[1])
            theta = dec['Theta']
            if cap[0] != 0:
                decoded += 1
        if decoded != seen:
            seen = decoded
            quiet = 0
        elif quiet < 2:
            quiet += 1
        pid['Des'] = f32(des)
        pid['FB'] = dec['AbPitchAngle']
        out = pid_step(pid)
        pid = {k: out[k] for k in PID_IN}
        c, s, ua, ub, _ = anti_park(theta, 0.0, out['U'])
        sv = svpwm(ua, ub) if quiet < 2 else dict(SV_ZERO)
        rows.append((cap, des, dict(FB=pid['FB'], E=out['E'], SumE=out['SumE'], U=out['U'], PreE=out['PreE'],
                                    Theta=theta, Costhe=c, Sinthe=s, UAlpha=ua, UBeta=ub, live=quiet < 2, **sv)))
    return rows


# ---------------------------------------------------------------- output

def fx(x):
    return '0x%08Xu' % bits(x)


def fdesc(x):
    if math.isnan(x):
        return 'NaN'
    return '%.9g' % x


def cstr(s):
    return '"' + s.replace('\\', '\\\\').replace('"', '\\"') + '"'


def main():
    out = []
    w = out.append
    w('''// Test vectors for the control algorithms: PID step, sine table, inverse Park
// step, PWM angle decoder, space-vector modulation and the control chain that
// links them. Shared by the
// host tests and the image that runs them on the Cortex-M4, so only plain
// constexpr arrays of plain structs.
//
// Every float is held as its IEEE-754 single-precision bit pattern and is
// compared bit for bit. An expected NaN (kNaN) matches any NaN: the payload
// of a NaN result differs between FPUs.
//
// The expected values were computed outside the firmware, step by step in
// IEEE arithmetic (each single-precision operation as the exact result
// rounded to float32, the double-precision steps in double), from the
// algorithms as documented in the firmware sources. Generated by
// gen_control_vectors.py beside this file; edit the script, not this file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace control_vectors {

inline constexpr std::uint32_t kNaN = 0x7FC00000u;

// ---- PID step -------------------------------------------------------------
// The record fields the step reads, before it.
struct PidBefore {
  std::uint32_t Des, FB, Kp, Ki, Kd, PreE, SumE, UMax, UMin, EMin;
};
// The fields the step writes, after it.
struct PidAfter {
  std::uint32_t E, SumE, U, PreE;
};
struct PidCase {
  const char* name;
  PidBefore before;
  PidAfter after;
};
''')
    w('inline constexpr PidCase kPidCases[] = {')
    for name, s, o in pid_cases():
        w('    {%s,' % cstr(name))
        w('     // %s' % ', '.join('%s %s' % (k, fdesc(s[k])) for k in PID_IN))
        w('     {%s},' % ', '.join(fx(s[k]) for k in PID_IN))
        w('     // -> %s' % ', '.join('%s %s' % (k, fdesc(o[k])) for k in PID_OUT))
        w('     {%s}},' % ', '.join(fx(o[k]) for k in PID_OUT))
    w('};')
    w('')
    w('// ---- Sine table -------------------------------------------------------------')
    w('// Entry i is sin(i degrees) * 65536 in double precision, truncated toward zero.')
    w('inline constexpr std::int32_t kSinTable[181] = {')
    for i in range(0, 181, 10):
        w('    ' + ' '.join('%d,' % v for v in SIN_TABLE[i:i + 10]) + '  // %d..' % i)
    w('};')
    w('')
    w('''// ---- Inverse Park step ------------------------------------------------------
// Theta, Ud, Uq in; the looked-up cosine and sine (scaled by 65536) and the
// stationary-frame voltages out.
struct ParkCase {
  const char* name;
  std::int32_t Theta;
  std::uint32_t Ud, Uq;
  std::int32_t Costhe, Sinthe;
  std::uint32_t UAlpha, UBeta;
};
''')
    w('inline constexpr ParkCase kParkCases[] = {')
    for name, theta, ud, uq, c, s, a, b in park_cases():
        w('    // Ud %s, Uq %s -> UAlpha %s, UBeta %s' % (fdesc(ud), fdesc(uq), fdesc(a), fdesc(b)))
        w('    {%s, %d, %s, %s, %d, %d, %s, %s},' % (cstr(name), theta, fx(ud), fx(uq), c, s, fx(a), fx(b))
          if theta != -2**31 else
          '    {%s, INT32_MIN, %s, %s, %d, %d, %s, %s},' % (cstr(name), fx(ud), fx(uq), c, s, fx(a), fx(b)))
    w('};')
    w('')
    w('''// ---- Angle decoder ----------------------------------------------------------
// Each sequence starts from the power-on state (every decoder global 0,
// MotorAPark.Theta 0). Before each step AngleComp is set to the step's value,
// then the capture pair (period, high time) is decoded; the globals after it
// follow. With no high time and AngleComp = -p the mechanical angle is
// exactly p, which reaches the edges of the electrical-angle rows.
struct DecoderStep {
  std::uint32_t AngleComp;
  std::uint16_t IC1Value, IC2Value;
  std::uint32_t DutyCycle, DutyCycle_Corre, PitchAngle, LastPitchAngle, NowPithchAngle, DiffPithchAngle,
      AbPitchAngle, ElePitchAngle;
  std::int32_t Theta, UqAngle;
  std::uint32_t Frequency;
};
struct DecoderSequence {
  const char* name;
  const DecoderStep* steps;
  std::size_t count;
};
''')
    seqs = decoder_sequences()
    for n, (name, rows, comment) in enumerate(seqs):
        w('// %s' % comment)
        w('inline constexpr DecoderStep kDecoderSequence%d[] = {' % n)
        for comp, ic1, ic2, st in rows:
            w('    // AngleComp %s, capture %d/%d -> duty %s, corrected %s, angle %s, diff %s, absolute %s, '
              'electrical %s, Theta %d, UqAngle %d, %s Hz' %
              (fdesc(f32(comp)), ic1, ic2, fdesc(st['DutyCycle']), fdesc(st['DutyCycle_Corre']),
               fdesc(st['PitchAngle']), fdesc(st['DiffPithchAngle']), fdesc(st['AbPitchAngle']),
               fdesc(st['ElePitchAngle']), st['Theta'], st['UqAngle'], fdesc(st['Frequency'])))
            vals = [fx(f32(comp)), str(ic1), str(ic2)]
            for k in DEC_OUT:
                vals.append(str(st[k]) if k in ('Theta', 'UqAngle') else fx(st[k]))
            w('    {%s},' % ', '.join(vals))
        w('};')
    w('inline constexpr DecoderSequence kDecoderSequences[] = {')
    for n, (name, rows, comment) in enumerate(seqs):
        w('    {%s, kDecoderSequence%d, sizeof(kDecoderSequence%d) / sizeof(kDecoderSequence%d[0])},' %
          (cstr(name), n, n, n))
    w('};')
    w('')
    w('''// ---- Space-vector modulation ------------------------------------------------
// UAlpha, UBeta in (volts x 65536); the record's other fields out: phase
// references, the vector times Tx (one phase high), Ty (two phases high), Tz
// (zero vectors) and the compare values of phases A, B, C.
struct SvpwmCase {
  const char* name;
  std::uint32_t UAlpha, UBeta;
  std::int32_t Ua, Ub, Uc, Tx, Ty, Tz, taOn, tbOn, tcOn;
};
''')
    w('inline constexpr SvpwmCase kSvpwmCases[] = {')
    for name, a, b, o in svpwm_cases():
        w('    // UAlpha %s, UBeta %s -> %s' % (fdesc(a), fdesc(b), ', '.join('%s %d' % (k, o[k]) for k in SV_OUT)))
        w('    {%s, %s, %s, %s},' % (cstr(name), fx(a), fx(b), ', '.join(str(o[k]) for k in SV_OUT)))
    w('};')
    w('')
    w('''// ---- Control chain -----------------------------------------------------------
// From the power-on state, each step: optionally one capture pair through the
// decoder (AngleComp stays 40), then the setpoint is set to Des and one
// control work runs (FB = AbPitchAngle, PID step, Uq = U, inverse Park step,
// modulation). The drive is off (zero vector) from reset until the first
// decoded capture and whenever two control works pass without one.
struct ChainStep {
  bool capture;
  std::uint16_t IC1Value, IC2Value;
  std::uint32_t Des;
  std::uint32_t FB, E, SumE, U, PreE;
  std::int32_t Theta, Costhe, Sinthe;
  std::uint32_t UAlpha, UBeta;
  std::int32_t Ua, Ub, Uc, Tx, Ty, Tz, taOn, tbOn, tcOn;
};
''')
    w('inline constexpr ChainStep kChainSteps[] = {')
    for cap, des, r in chain_steps():
        w('    // %s, Des %s -> FB %s, E %s, SumE %s, U %s, Theta %d, UAlpha %s, UBeta %s, %s %d/%d/%d' %
          ('capture %d/%d' % cap if cap else 'no capture', fdesc(des), fdesc(r['FB']), fdesc(r['E']),
           fdesc(r['SumE']), fdesc(r['U']), r['Theta'], fdesc(r['UAlpha']), fdesc(r['UBeta']),
           'duties' if r['live'] else 'drive off', r['taOn'], r['tbOn'], r['tcOn']))
        w('    {%s, %d, %d, %s, %s, %s, %s, %s, %s, %d, %d, %d, %s, %s, %s},' %
          ('true' if cap else 'false', cap[0] if cap else 0, cap[1] if cap else 0, fx(f32(des)), fx(r['FB']),
           fx(r['E']), fx(r['SumE']), fx(r['U']), fx(r['PreE']), r['Theta'], r['Costhe'], r['Sinthe'],
           fx(r['UAlpha']), fx(r['UBeta']), ', '.join(str(r[k]) for k in SV_OUT)))
    w('};')
    w('')
    w('}  // namespace control_vectors')
    sys.stdout.write('\n'.join(out) + '\n')


if __name__ == '__main__':
    main()
