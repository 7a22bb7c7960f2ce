// What a sweep settles before it opens the port, and how a point's
// readings become its row: the references from the decade's certificate,
// the lab's profile, the report number, the model's values.
#include "ctl/record_file.h"
#include "ctl/sweep.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <charconv>
#include <cmath>

namespace {

// "+0.5" as the record writes numbers.
std::string pctText(double pct)
{
    return recordNumber(pct);
}

bool readCertificate(const SweepOptions &o, Certificate *c, QString *error)
{
    std::string bytes, why;
    if (!readRegularFile(QFile::encodeName(o.certificatePath).toStdString(), PLAN_LIMIT, &bytes, &why)) {
        *error = "cannot read the certificate " + o.certificatePath + ": " + qs(why);
        return false;
    }
    if (!parseCertificate(bytes, c, &why)) {
        *error = "bad certificate " + o.certificatePath + ": " + qs(why);
        return false;
    }
    return true;
}

}  // namespace

bool sweepReferences(const SweepOptions &o, const std::vector<PlanPoint> &plan, SweepReferences *refs, QString *error)
{
    *refs = SweepReferences();
    Certificate c;
    const bool certified = !o.certificatePath.isEmpty();
    if (certified && !readCertificate(o, &c, error))
        return false;
    const std::string today = QDate::currentDate().toString(Qt::ISODate).toStdString();
    if (certified && c.due < today && !o.allowExpired) {
        *error = QString("the certificate %1 of the decade was due on %2: calibrate the decade, or --allow-expired")
                     .arg(qs(c.number), qs(c.due));
        return false;
    }
    QStringList missing, nominal;
    for (size_t k = 0; k < plan.size(); k++) {
        const PlanPoint &p = plan[k];
        PointReference r;
        const CertificateRow *row = certified ? c.find(p.resistance_mohm, p.voltage_v) : nullptr;
        if (row) {
            r = {row->certified_mohm, uRefNormal(row->expanded_uncertainty_mohm, row->coverage_factor), true};
        } else {
            r = {double(p.resistance_mohm), o.nominalUncertaintyPct ? uRefRectangular(p.resistance_mohm, *o.nominalUncertaintyPct) : 0,
                 false};
            if (certified)
                missing << QString("point %1 (%2 MOhm at %3 V)").arg(k + 1).arg(p.resistance_mohm).arg(p.voltage_v);
            nominal << QString::number(k + 1);
        }
        refs->points.push_back(r);
    }
    if (!missing.isEmpty() && !o.nominalUncertaintyPct) {
        *error = QString("the certificate %1 does not cover %2: add them to it, or take their nominal values with "
                         "--nominal-uncertainty PCT").arg(o.certificatePath, missing.join(", "));
        return false;
    }
    refs->header.emplace_back("decade_certificate", certified ? c.summary() : "none");
    const std::string nominalWords =
        "the nominal values, " + (o.nominalUncertaintyPct ? "rectangular, half-width " + pctText(*o.nominalUncertaintyPct) + " % of nominal"
                                                          : std::string("no reference uncertainty"));
    std::string words = nominalWords;
    if (certified) {
        words = "the certified values (normal, U / k)";
        if (!missing.isEmpty())
            words += (nominal.size() > 1 ? "; points " : "; point ") + nominal.join(", ").toStdString() + ": " + nominalWords;
    }
    refs->header.emplace_back("reference_uncertainty", words);
    if (certified && c.due < today)
        refs->header.emplace_back("decade_certificate_expired",
                                  "used past its due date " + c.due + " (--allow-expired)");
    return true;
}

bool readLabProfile(LabProfile *lab, QString *error)
{
    *lab = LabProfile();
    const QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
    const QString folder = xdg.startsWith('/') ? QString::fromLocal8Bit(xdg) : QDir::homePath() + "/.config";
    const QString path = folder + "/t483/lab.ini";
    if (!QFile::exists(path))
        return true;
    std::string bytes, why;
    if (!readRegularFile(QFile::encodeName(path).toStdString(), 64 * 1024, &bytes, &why) ||
        !parseLabProfile(bytes, lab, &why)) {
        *error = "the lab's profile " + path + ": " + qs(why);
        return false;
    }
    return true;
}

std::string environmentText(const std::optional<double> &value)
{
    return value ? recordNumber(*value) : "not recorded";
}

std::string makeReportNumber(const QString &startedUtc, const std::string &identity)
{
    // The start time to the second, and a hash of the record's identity
    // with 64 random bits: two records never share one.
    const quint64 random = QRandomGenerator::system()->generate64();
    QByteArray seed = QByteArray::fromStdString(identity);
    seed.append(reinterpret_cast<const char *>(&random), sizeof random);
    const QString hash = QCryptographicHash::hash(seed, QCryptographicHash::Sha256).toHex().left(8).toUpper();
    QString stamp = startedUtc;
    stamp.remove('-').remove(':').remove('Z');
    return ("T483-" + stamp.replace('T', '-') + "-" + hash).toStdString();
}

void measuredRow(RecordRow *row, const PlanPoint &p, const PointReference &ref, const std::vector<double> &readings,
                 DecisionRule rule)
{
    PointInput in;
    in.reference_mohm = ref.mohm;
    in.u_ref_mohm = ref.u_mohm;
    in.readings_mohm = readings;
    in.tolerance_pct = p.tolerance_pct;
    in.tolerance_digits = p.tolerance_digits;
    in.resolution_mohm = p.resolution_mohm;
    in.basis_reading = p.basis_reading;
    const PointResult r = evaluatePoint(in, rule);
    row->reading_mohm = r.mean_mohm;
    const std::string pct = errorText(r.error_pct);
    double written = 0;
    std::from_chars(pct.data(), pct.data() + pct.size(), written);
    row->error_pct = written;
    row->readings = readings;
    row->n = r.n;
    row->s_mohm = r.s_mohm;
    row->error_mohm = r.error_mohm;
    row->mpe_mohm = r.mpe_mohm;
    row->u_ref_mohm = r.u_ref_mohm;
    if (p.resolution_mohm)
        row->u_res_mohm = r.u_res_mohm;
    row->u_rep_mohm = r.u_rep_mohm;
    row->u_c_mohm = r.u_c_mohm;
    row->nu_eff = r.nu_eff;
    row->k = r.k;
    row->expanded_u_mohm = r.expanded_u_mohm;
    row->tur = r.tur;
    switch (r.decision) {
    case Decision::Pass:
        row->verdict = Verdict::Pass;
        break;
    case Decision::ConditionalPass:
        row->verdict = Verdict::ConditionalPass;
        break;
    case Decision::ConditionalFail:
        row->verdict = Verdict::ConditionalFail;
        break;
    case Decision::Fail:
        row->verdict = Verdict::Fail;
        break;
    }
}

bool implausible(double reading, const PlanPoint &p, const PointReference &ref)
{
    const double basis = p.basis_reading ? reading : ref.mohm;
    const double mpe = p.tolerance_pct / 100 * std::fabs(basis) + p.tolerance_digits * p.resolution_mohm.value_or(0);
    return std::fabs(reading - ref.mohm) > std::max(10 * mpe, 0.5 * std::fabs(ref.mohm));
}
