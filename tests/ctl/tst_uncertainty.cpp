// A point's uncertainty budget and the decision rules: Student's t against
// values computed apart from this program, the calibration guide's worked
// example to the digits it is written with, and each rule at its limits.
#include <QtTest>

#include "ctl/uncertainty.h"

#include <cmath>
#include <limits>

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

}  // namespace

Q_DECLARE_METATYPE(PointInput)

class TestUncertainty : public QObject
{
    Q_OBJECT
private slots:
    void coverageFactor_data();
    void coverageFactor();
    void workedExample();
    void budgetEdges_data();
    void budgetEdges();
    void decide_data();
    void decide();
    void ruleNames();
};

void TestUncertainty::coverageFactor_data()
{
    QTest::addColumn<double>("nu");
    QTest::addColumn<double>("k");
    // t at 95.45 % two-sided, from the incomplete beta function at 40 digits.
    const std::pair<double, double> table[] = {
        {1, 13.968}, {2, 4.527},  {3, 3.307},    {4, 2.869},  {5, 2.649},   {10, 2.284}, {20, 2.133},
        {50, 2.051}, {100, 2.025}, {1000, 2.003}, {3000, 2.001}, {10000, 2.000}, {1e6, 2.000}, {INF, 2.000},
    };
    for (const auto &[nu, k] : table)
        QTest::addRow("nu=%g", nu) << nu << k;
}

void TestUncertainty::coverageFactor()
{
    QFETCH(double, nu);
    QFETCH(double, k);
    QCOMPARE(::coverageFactor(nu), k);
}

// The calibration guide's worked example: each figure of its table, as
// written there, is the program's to the digits written.
void TestUncertainty::workedExample()
{
    QFile file(T483_GUIDE);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QString guide = QString::fromUtf8(file.readAll());
    PointInput in;
    in.reference_mohm = 1000.8;
    in.u_ref_mohm = uRefNormal(2.0, 2);
    in.readings_mohm = {1012, 1018, 1027};
    in.tolerance_pct = 3;
    in.tolerance_digits = 5;
    in.resolution_mohm = 1;
    in.basis_reading = true;
    const PointResult r = evaluatePoint(in, DecisionRule::Simple);
    QCOMPARE(r.n, 3);
    const std::pair<const char *, double> figures[] = {
        {"| x\u0304 | 1019 MOhm", r.mean_mohm},   {"| s | 7.54983 MOhm", r.s_mohm},
        {"| E | 18.2 MOhm", r.error_mohm},          {"| E % | 1.819", r.error_pct},
        {"| MPE | 35.57 MOhm", r.mpe_mohm},         {"| u_ref | 1.00000 MOhm", r.u_ref_mohm},
        {"| u_res | 0.288675 MOhm", r.u_res_mohm},  {"| u_rep | 4.35890 MOhm", r.u_rep_mohm},
        {"| u_c | 4.48144 MOhm", r.u_c_mohm},       {"| \u03bd_eff | 2", r.nu_eff},
        {"| k | 4.527", r.k},                       {"| U | 20.2875 MOhm", r.expanded_u_mohm},
        {"| TUR | 1.75", r.tur},
    };
    for (const auto &[line, value] : figures) {
        const QString row = QString::fromUtf8(line);
        QVERIFY2(guide.contains(row + " |\n"), qPrintable("the guide lacks " + row));
        const QString written = row.section(" | ", 1).section(' ', 0, 0);
        const int decimals = written.contains('.') ? int(written.size() - written.indexOf('.') - 1) : 0;
        QCOMPARE(QString::number(value, 'f', decimals), written);
    }
    QVERIFY(guide.contains("| decision | simple: pass; guarded: fail; non-binary: conditional pass |"));
    QCOMPARE(r.decision, Decision::Pass);
    QCOMPARE(evaluatePoint(in, DecisionRule::Guarded).decision, Decision::Fail);
    QCOMPARE(evaluatePoint(in, DecisionRule::NonBinary).decision, Decision::ConditionalPass);
}

void TestUncertainty::budgetEdges_data()
{
    QTest::addColumn<PointInput>("in");
    QTest::addColumn<double>("mpe");
    QTest::addColumn<double>("uc");
    QTest::addColumn<double>("nu");
    QTest::addColumn<double>("tur");
    const auto point = [](double ref, double uRef, std::vector<double> readings, double pct) {
        PointInput in;
        in.reference_mohm = ref;
        in.u_ref_mohm = uRef;
        in.readings_mohm = std::move(readings);
        in.tolerance_pct = pct;
        return in;
    };
    // One reading: no repeatability, infinite degrees of freedom, k = 2.
    QTest::newRow("one reading") << point(100, 0.5, {101}, 2) << 2.0 << 0.5 << INF << 2.0;
    // Nothing uncertain: U = 0 and an infinite ratio.
    QTest::newRow("U = 0") << point(100, 0, {100, 100}, 2) << 2.0 << 0.0 << INF << INF;
    // Digits without a resolution add nothing, nor does the resolution.
    PointInput digits = point(100, 0.5, {100}, 2);
    digits.tolerance_digits = 3;
    QTest::newRow("digits, no resolution") << digits << 2.0 << 0.5 << INF << 2.0;
    // % of the reading takes the mean, not the reference.
    PointInput reading = point(100, 0.5, {150}, 2);
    reading.basis_reading = true;
    QTest::newRow("of reading") << reading << 3.0 << 0.5 << INF << 3.0;
    // A rectangular reference of 1 % of 300: 3 / sqrt 3.
    QTest::newRow("rectangular") << point(300, uRefRectangular(300, 1), {300}, 1) << 3.0 << std::sqrt(3.0) << INF
                                 << 3 / (2 * std::sqrt(3.0));
    // u_rep only: nu = n - 1 exactly (no truncation below a whole number).
    QTest::newRow("repeatability only") << point(10, 0, {9, 10, 11}, 10) << 1.0 << 1 / std::sqrt(3.0) << 2.0
                                        << 1 / (4.527 / std::sqrt(3.0));
}

void TestUncertainty::budgetEdges()
{
    QFETCH(PointInput, in);
    QFETCH(double, mpe);
    QFETCH(double, uc);
    QFETCH(double, nu);
    QFETCH(double, tur);
    const PointResult r = evaluatePoint(in, DecisionRule::Simple);
    QCOMPARE(r.mpe_mohm, mpe);
    QCOMPARE(r.u_c_mohm, uc);
    QCOMPARE(r.nu_eff, nu);
    QCOMPARE(r.expanded_u_mohm, r.k * r.u_c_mohm);
    QCOMPARE(r.tur, tur);
}

void TestUncertainty::decide_data()
{
    QTest::addColumn<int>("rule");
    QTest::addColumn<double>("error");
    QTest::addColumn<int>("expected");
    // MPE 10, U 2 throughout; limits met exactly are met, either sign.
    const struct {
        DecisionRule rule;
        double error;
        Decision d;
    } rows[] = {
        {DecisionRule::Simple, 10, Decision::Pass},           {DecisionRule::Simple, -10.001, Decision::Fail},
        {DecisionRule::Guarded, -8, Decision::Pass},          {DecisionRule::Guarded, 8.001, Decision::Fail},
        {DecisionRule::NonBinary, 8, Decision::Pass},         {DecisionRule::NonBinary, -8.001, Decision::ConditionalPass},
        {DecisionRule::NonBinary, 10, Decision::ConditionalPass}, {DecisionRule::NonBinary, 10.001, Decision::ConditionalFail},
        {DecisionRule::NonBinary, -12, Decision::ConditionalFail}, {DecisionRule::NonBinary, 12.001, Decision::Fail},
    };
    for (const auto &r : rows)
        QTest::addRow("%s %g", decisionRuleName(r.rule), r.error) << int(r.rule) << r.error << int(r.d);
}

void TestUncertainty::decide()
{
    QFETCH(int, rule);
    QFETCH(double, error);
    QFETCH(int, expected);
    QCOMPARE(int(::decide(DecisionRule(rule), error, 10, 2)), expected);
    // The limit as arithmetic leaves it: 0.1 + 0.2 is 0.3 here.
    QCOMPARE(::decide(DecisionRule::Simple, 0.1 + 0.2, 0.3, 0), Decision::Pass);
}

void TestUncertainty::ruleNames()
{
    for (DecisionRule r : {DecisionRule::Simple, DecisionRule::Guarded, DecisionRule::NonBinary}) {
        QCOMPARE(decisionRuleNamed(decisionRuleName(r)), r);
        QVERIFY(!decisionRuleWords(r).empty() && !decisionRuleRisk(r).empty());
    }
    QCOMPARE(decisionRuleNamed("Simple"), std::nullopt);
    QCOMPARE(decisionRuleNamed("nonbinary"), std::nullopt);
}

QTEST_GUILESS_MAIN(TestUncertainty)
#include "tst_uncertainty.moc"
