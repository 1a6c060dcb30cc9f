#include "LaneVoice.h"

namespace tgvoice
{
void Biquad::setLowPass (double f, double sr) noexcept
{
    const double w = juce::MathConstants<double>::twoPi * f / sr;
    const double cw = std::cos (w), alpha = std::sin (w) / 1.414;
    const double a0 = 1.0 + alpha;
    setCoefficients ((1.0 - cw) * 0.5 / a0, (1.0 - cw) / a0, (1.0 - cw) * 0.5 / a0, -2.0 * cw / a0, (1.0 - alpha) / a0);
}

void Biquad::setHighPass (double f, double sr) noexcept
{
    const double w = juce::MathConstants<double>::twoPi * f / sr;
    const double cw = std::cos (w), alpha = std::sin (w) / 1.414;
    const double a0 = 1.0 + alpha;
    setCoefficients ((1.0 + cw) * 0.5 / a0, -(1.0 + cw) / a0, (1.0 + cw) * 0.5 / a0, -2.0 * cw / a0, (1.0 - alpha) / a0);
}

void Biquad::setPeaking (double f, double q, double gainDb, double sr) noexcept
{
    const double A = std::pow (10.0, gainDb / 40.0);
    const double w = juce::MathConstants<double>::twoPi * f / sr;
    const double alpha = std::sin (w) / (2.0 * q);
    const double d = 1.0 + alpha / A;
    setCoefficients ((1.0 + alpha * A) / d, -2.0 * std::cos (w) / d, (1.0 - alpha * A) / d,
                     -2.0 * std::cos (w) / d, (1.0 - alpha / A) / d);
}

LaneDials LaneDials::fromRaw (const std::array<float, numDials>& raw) noexcept
{
    LaneDials d;

    const float p = raw[pan];
    d.panL = p > 0.5f ? 1.0f - 2.0f * (p - 0.5f) : 1.0f;
    d.panR = p < 0.5f ? 1.0f - 2.0f * (0.5f - p) : 1.0f;

    d.driveOn = raw[drive] > 0.02f;
    d.driveK = 7.0f * raw[drive] + 1.0f;
    d.driveNorm = 1.0f / std::tanh (d.driveK);
    d.driveMakeup = 0.9f * std::pow (d.driveK, -0.4f) + 0.1f;

    d.crushOn = raw[crush] > 0.02f;
    d.crushSteps = juce::jmax (2.0, std::round ((1.0 - (double) raw[crush]) * 24.0 + 2.0));

    d.filterValue = raw[filter];
    d.filterOn = std::abs (raw[filter] - 0.5f) > 0.02f;

    d.send = 0.9f * raw[verb];

    const double amount = ((double) raw[punch] - 0.5) * 2.0;
    d.punchOn = std::abs (amount) > 0.03;
    d.punchPeak = amount > 0.0 ? 1.0 + amount * 1.2 : 1.0 + amount * 0.75;
    return d;
}

void setFilterDial (Biquad& left, Biquad& right, float value, double sampleRate, double maxFrequency) noexcept
{
    double fc = 0.0;
    bool lowPass = false;
    if (value < 0.48f)
    {
        fc = 200.0 * std::pow (100.0, (double) value / 0.48);
        lowPass = true;
    }
    else if (value > 0.52f)
    {
        fc = 20.0 * std::pow (200.0, ((double) value - 0.52) / 0.48);
    }
    else
    {
        return;
    }

    fc = juce::jlimit (10.0, juce::jmax (10.0, maxFrequency), fc);
    for (auto* b : { &left, &right })
    {
        if (lowPass)
            b->setLowPass (fc, sampleRate);
        else
            b->setHighPass (fc, sampleRate);
    }
}

LengthGate LengthGate::forLane (int lane, float lenmodeRaw, float lentrimRaw, double sampleRate) noexcept
{
    LengthGate g;
    if (lane == 1 || lane == 6)
        return g;

    const int mode = (int) (lenmodeRaw + 0.5f);
    static constexpr double kickBase[] { 0.0, 0.123, 0.237, 0.35 };
    static constexpr double otherBase[] { 0.0, 0.041, 0.123, 0.35 };
    if (mode < 1 || mode > 3)
        return g;

    const double len = (lane == 0 ? kickBase[mode] : otherBase[mode]) * ((double) lentrimRaw + 0.5);
    if (len <= 0.0)
        return g;

    g.active = true;
    g.fade = juce::jmax (0.4 * len, 0.03);
    g.hold = juce::jmax (len - g.fade, 0.006);
    g.coef = 1.0 - std::exp (-1.0 / (0.002 * sampleRate));
    return g;
}
} // namespace tgvoice
