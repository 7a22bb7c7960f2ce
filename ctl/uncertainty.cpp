// A point's uncertainty budget and the decision rules (uncertainty.h).
#include "ctl/uncertainty.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double COVERAGE = 0.9545;  // two-sided

// The continued fraction of the regularized incomplete beta function
// (modified Lentz), good for x < (a + 1) / (a + b + 2).
double betaFraction(double a, double b, double x)
{
    constexpr double tiny = 1e-300, eps = 1e-15;
    double c = 1, d = 1 - (a + b) * x / (a + 1);
    d = 1 / (std::fabs(d) < tiny ? tiny : d);
    double f = d;
    for (int m = 1; m <= 100000; m++) {
        for (int half = 0; half < 2; half++) {
            const double num = half == 0 ? m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m))
                                         : -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1));
            d = 1 + num * d;
            d = 1 / (std::fabs(d) < tiny ? tiny : d);
            c = 1 + num / c;
            c = std::fabs(c) < tiny ? tiny : c;
            f *= c * d;
            if (half == 1 && std::fabs(c * d - 1) < eps)
                return f;
        }
    }
    return f;
}

// I_x(a, b), the regularized incomplete beta function.
double incompleteBeta(double a, double b, double x)
{
    if (x <= 0)
        return 0;
    if (x >= 1)
        return 1;
    const double front =
        std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log1p(-x));
    if (x < (a + 1) / (a + b + 2))
        return front * betaFraction(a, b, x) / a;
    return 1 - front * betaFraction(b, a, 1 - x) / b;
}

// The probability that |T| > t for Student's T with nu degrees of freedom.
double twoSidedTail(double t, double nu)
{
    return incompleteBeta(nu / 2, 0.5, nu / (nu + t * t));
}

// Beyond this many degrees of freedom t follows from the normal quantile
// by its expansion in 1/nu, good to far better than 3 decimals.
constexpr double NU_LARGE = 1e5;

double normalQuantile()
{
    double lo = 0, hi = 10;
    for (int i = 0; i < 200 && hi - lo > 1e-15; i++) {
        const double mid = (lo + hi) / 2;
        (std::erf(mid / std::sqrt(2.0)) < COVERAGE ? lo : hi) = mid;
    }
    return (lo + hi) / 2;
}

// a <= b, with values equal to 9 significant digits counted as equal.
bool atMost(double a, double b)
{
    return a <= b + 1e-9 * std::max(std::fabs(a), std::fabs(b));
}

}  // namespace

std::optional<DecisionRule> decisionRuleNamed(std::string_view name)
{
    for (DecisionRule r : {DecisionRule::Simple, DecisionRule::Guarded, DecisionRule::NonBinary})
        if (name == decisionRuleName(r))
            return r;
    return std::nullopt;
}

const char *decisionRuleName(DecisionRule rule)
{
    switch (rule) {
    case DecisionRule::Simple:
        break;
    case DecisionRule::Guarded:
        return "guarded";
    case DecisionRule::NonBinary:
        return "non-binary";
    }
    return "simple";
}

std::string decisionRuleWords(DecisionRule rule)
{
    switch (rule) {
    case DecisionRule::Simple:
        break;
    case DecisionRule::Guarded:
        return "pass when |E| <= MPE - U, else fail; guard band w = U";
    case DecisionRule::NonBinary:
        return "pass when |E| <= MPE - U; conditional pass when MPE - U < |E| <= MPE; "
               "conditional fail when MPE < |E| <= MPE + U; fail when |E| > MPE + U; guard band w = U";
    }
    return "pass when |E| <= MPE, else fail; no guard band (w = 0)";
}

std::string decisionRuleRisk(DecisionRule rule)
{
    switch (rule) {
    case DecisionRule::Simple:
        break;
    case DecisionRule::Guarded:
        return "Risk: a point passed is out of tolerance with a probability of at most about 2.3 %, "
               "while a point within tolerance but closer than U to its limit is failed.";
    case DecisionRule::NonBinary:
        return "Risk: pass and fail are each wrong with a probability of at most about 2.3 %; a conditional "
               "pass may be out of tolerance, and a conditional fail within it, with a probability up to 50 %.";
    }
    return "Risk: a point passed with |E| close to its MPE may be out of tolerance with a probability "
           "up to 50 % (the false accept risk is not limited).";
}

const char *decisionWord(Decision decision)
{
    switch (decision) {
    case Decision::Pass:
        return "pass";
    case Decision::ConditionalPass:
        return "conditional pass";
    case Decision::ConditionalFail:
        return "conditional fail";
    case Decision::Fail:
        break;
    }
    return "fail";
}

double uRefNormal(double expanded_mohm, double coverage_factor)
{
    return coverage_factor > 0 ? expanded_mohm / coverage_factor : 0;
}

double uRefRectangular(double nominal_mohm, double half_width_pct)
{
    return std::fabs(nominal_mohm) * half_width_pct / 100 / std::sqrt(3.0);
}

double studentT9545(double nu)
{
    static const double z = normalQuantile();
    if (!(nu < NU_LARGE)) {
        if (std::isinf(nu))
            return z;
        const double z3 = z * z * z, z5 = z3 * z * z;
        return z + (z3 + z) / (4 * nu) + (5 * z5 + 16 * z3 + 3 * z) / (96 * nu * nu);
    }
    nu = std::max(nu, 1.0);
    // The tail falls as t grows: bisect for the t that leaves 1 - 95.45 %.
    double lo = 0, hi = 1e3;
    for (int i = 0; i < 200 && hi - lo > 1e-12 * hi; i++) {
        const double mid = (lo + hi) / 2;
        (twoSidedTail(mid, nu) > 1 - COVERAGE ? lo : hi) = mid;
    }
    return (lo + hi) / 2;
}

double coverageFactor(double nu)
{
    return std::round(studentT9545(nu) * 1000) / 1000;
}

Decision decide(DecisionRule rule, double error_mohm, double mpe_mohm, double expanded_u_mohm)
{
    const double e = std::fabs(error_mohm);
    switch (rule) {
    case DecisionRule::Simple:
        return atMost(e, mpe_mohm) ? Decision::Pass : Decision::Fail;
    case DecisionRule::Guarded:
        return atMost(e, mpe_mohm - expanded_u_mohm) ? Decision::Pass : Decision::Fail;
    case DecisionRule::NonBinary:
        break;
    }
    if (atMost(e, mpe_mohm - expanded_u_mohm))
        return Decision::Pass;
    if (atMost(e, mpe_mohm))
        return Decision::ConditionalPass;
    if (atMost(e, mpe_mohm + expanded_u_mohm))
        return Decision::ConditionalFail;
    return Decision::Fail;
}

PointResult evaluatePoint(const PointInput &in, DecisionRule rule)
{
    PointResult r;
    r.n = int(in.readings_mohm.size());
    if (r.n == 0)
        return r;
    double sum = 0;
    for (double v : in.readings_mohm)
        sum += v;
    r.mean_mohm = sum / r.n;
    // Equal readings have no scatter: their mean is the reading itself,
    // not a sum's rounding of it (102.1 x 3 / 3 is not 102.1).
    if (std::all_of(in.readings_mohm.begin(), in.readings_mohm.end(), [&](double v) { return v == in.readings_mohm.front(); }))
        r.mean_mohm = in.readings_mohm.front();
    if (r.n > 1) {
        double squares = 0;
        for (double v : in.readings_mohm)
            squares += (v - r.mean_mohm) * (v - r.mean_mohm);
        r.s_mohm = std::sqrt(squares / (r.n - 1));
    }
    r.error_mohm = r.mean_mohm - in.reference_mohm;
    r.error_pct = in.reference_mohm != 0 ? r.error_mohm / in.reference_mohm * 100 : 0;
    const double basis = in.basis_reading ? r.mean_mohm : in.reference_mohm;
    const double resolution = in.resolution_mohm.value_or(0);
    r.mpe_mohm = in.tolerance_pct / 100 * std::fabs(basis) + in.tolerance_digits * resolution;

    r.u_ref_mohm = in.u_ref_mohm;
    r.u_res_mohm = resolution / (2 * std::sqrt(3.0));
    r.u_rep_mohm = r.s_mohm / std::sqrt(double(r.n));
    r.u_c_mohm = std::sqrt(r.u_ref_mohm * r.u_ref_mohm + r.u_res_mohm * r.u_res_mohm + r.u_rep_mohm * r.u_rep_mohm);
    if (r.u_rep_mohm > 0) {
        const double ratio = r.u_c_mohm / r.u_rep_mohm;
        // Truncated, but a whole number reached up to rounding stays whole.
        r.nu_eff = std::floor((r.n - 1) * ratio * ratio * ratio * ratio * (1 + 1e-12));
    } else {
        r.nu_eff = INF;
    }
    r.k = coverageFactor(r.nu_eff);
    r.expanded_u_mohm = r.k * r.u_c_mohm;
    r.tur = r.expanded_u_mohm > 0 ? r.mpe_mohm / r.expanded_u_mohm : INF;
    r.decision = decide(rule, r.error_mohm, r.mpe_mohm, r.expanded_u_mohm);
    return r;
}
