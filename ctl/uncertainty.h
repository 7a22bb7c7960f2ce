// The uncertainty of a calibration point and the decision on it, all in
// MOhm, without I/O.
//
// A point's readings of a reference (the decade's certified value, or its
// nominal one) give:
//   u_ref  the reference's standard uncertainty (the certificate's U / k,
//          or a datasheet accuracy as a rectangular half-width / sqrt 3);
//   u_res  the tester's display resolution / (2 sqrt 3), 0 without one;
//   u_rep  s / sqrt n, s the readings' sample standard deviation, 0 for n = 1;
//   u_c    sqrt(u_ref^2 + u_res^2 + u_rep^2);
//   nu_eff u_c^4 / (u_rep^4 / (n - 1)) (Welch-Satterthwaite; only the
//          repeatability has finite degrees of freedom), infinite when
//          u_rep = 0, else truncated to an integer;
//   k      Student's t for 95.45 % two-sided at nu_eff, 3 decimals (2.000
//          when infinite);
//   U      k x u_c, with k as rounded.
// The error E = mean - reference, and 100 E / reference in %; the maximum
// permissible error MPE = tolerance_pct/100 x |basis| + digits x resolution,
// the basis the reference or the mean reading; TUR = MPE / U.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How a point's error and uncertainty decide its verdict (ILAC-G8).
enum class DecisionRule { Simple, Guarded, NonBinary };
// The rule a name gives: "simple", "guarded", "non-binary"; none for others.
std::optional<DecisionRule> decisionRuleNamed(std::string_view name);
const char *decisionRuleName(DecisionRule rule);
// The rule in words with its guard band, one line, for header and report.
std::string decisionRuleWords(DecisionRule rule);
// The risk the rule leaves with the customer or the lab, one sentence.
std::string decisionRuleRisk(DecisionRule rule);

enum class Decision { Pass, ConditionalPass, ConditionalFail, Fail };
// "pass", "conditional pass", "conditional fail", "fail".
const char *decisionWord(Decision decision);

struct PointInput {
    double reference_mohm = 0;            // certified value, or the nominal one
    double u_ref_mohm = 0;                // standard uncertainty of the reference (0 when none)
    std::vector<double> readings_mohm;    // 1 to 20
    double tolerance_pct = 0;
    double tolerance_digits = 0;
    std::optional<double> resolution_mohm;
    bool basis_reading = false;           // the % part of the mean reading, not of the reference
};

struct PointResult {
    int n = 0;
    double mean_mohm = 0, s_mohm = 0;     // s = 0 when n = 1
    double error_mohm = 0, error_pct = 0, mpe_mohm = 0;
    double u_ref_mohm = 0, u_res_mohm = 0, u_rep_mohm = 0, u_c_mohm = 0;
    double nu_eff = 0;                    // +infinity when infinite; else a whole number
    double k = 0;                         // Student's t at 95.45 % two-sided, 3 decimals
    double expanded_u_mohm = 0;           // k (as rounded) x u_c
    double tur = 0;                       // mpe / U; +infinity when U = 0
    Decision decision = Decision::Fail;
};

// The point's uncertainty and the rule's decision on it. Without readings
// the result has n = 0 and fails.
PointResult evaluatePoint(const PointInput &input, DecisionRule rule);

// The decision alone, from |E|, MPE and U. Values equal to 9 significant
// digits count as equal, so a limit met exactly is met.
Decision decide(DecisionRule rule, double error_mohm, double mpe_mohm, double expanded_u_mohm);

// The standard uncertainty of a reference: from an expanded uncertainty
// and its coverage factor (normal), or from a half-width in % of the
// nominal value (rectangular).
double uRefNormal(double expanded_mohm, double coverage_factor);
double uRefRectangular(double nominal_mohm, double half_width_pct);

// Student's t for a 95.45 % two-sided coverage at nu degrees of freedom
// (nu >= 1, or +infinity), unrounded.
double studentT9545(double nu);
// The same rounded to 3 decimals: the coverage factor k.
double coverageFactor(double nu);

// The test uncertainty ratio below which a point is flagged.
inline constexpr double TUR_LOW = 4;
