// The report's painter (report_painter.h).
#include "ctl/report_painter.h"

#include <QFontMetricsF>

namespace report {

double niceStep(double span, int parts)
{
    const double raw = span / parts;
    const double mag = std::pow(10, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 2.5, 5.0})
        if (raw <= m * mag * 1.0001)
            return m * mag;
    return 10 * mag;
}

bool Painter::begin()
{
    if (!p_.begin(&writer_))
        return false;
    unit_ = writer_.resolution() / 25.4;
    return true;
}

QFont Painter::font(double points, bool bold, bool mono, bool italic)
{
    QFont f(mono ? "DejaVu Sans Mono" : "DejaVu Sans");
    f.setStyleHint(mono ? QFont::Monospace : QFont::SansSerif);
    f.setPointSizeF(points);
    f.setBold(bold);
    f.setItalic(italic);
    // No ligatures: "fi" stays two letters for whoever searches the text.
    f.setLetterSpacing(QFont::AbsoluteSpacing, 0.05);
    return f;
}

void Painter::pen(const QColor &colour, double widthMm, Qt::PenStyle style)
{
    QPen pen(colour, widthMm * unit_, style);
    pen.setCapStyle(Qt::FlatCap);
    p_.setPen(pen);
}

void Painter::text(double x, double y, double w, double h, const QString &s, const QFont &f, int align,
                   const QColor &colour)
{
    QFont fit = f;
    while (QFontMetricsF(fit, &writer_).horizontalAdvance(s) > w * unit_ && fit.pointSizeF() > 5.5)
        fit.setPointSizeF(fit.pointSizeF() - 0.5);
    const QString shown = QFontMetricsF(fit, &writer_).elidedText(s, Qt::ElideRight, w * unit_);
    p_.setFont(fit);
    p_.setPen(colour);
    p_.drawText(rect(x, y, w, h), int(align) | Qt::AlignVCenter, shown);
}

void Painter::columnHeads(double y, std::span<const Column> columns, double height, double points, double pad)
{
    p_.fillRect(rect(LEFT, y, WIDTH, height), BAND);
    p_.setPen(INK);
    double x = LEFT;
    for (const Column &c : columns) {
        const double w = c.width - 2 * pad;
        QFont f = font(points, true);
        const QStringList lines = QString(c.head).split('\n');
        const auto widest = [&] {
            const QFontMetricsF m(f, &writer_);
            double most = 0;
            for (const QString &line : lines)
                most = std::max(most, m.horizontalAdvance(line));
            return most;
        };
        while (widest() > w * unit_ && f.pointSizeF() > 4.5)
            f.setPointSizeF(f.pointSizeF() - 0.2);
        p_.setFont(f);
        p_.drawText(rect(x + pad, y, w, height), c.align | Qt::AlignVCenter, c.head);
        x += c.width;
    }
}

void Painter::hline(double x1, double x2, double y, const QColor &colour, double width)
{
    pen(colour, width);
    p_.drawLine(pt(x1, y), pt(x2, y));
}

void Painter::footer()
{
    if (!banner_.isEmpty())
        text(LEFT, FOOTER - 5, WIDTH, 4.5, banner_, font(8, true), Qt::AlignHCenter, FAIL_INK);
    hline(LEFT, RIGHT, FOOTER, INK, 0.3);
    const QFont f = font(7);
    text(LEFT, FOOTER + 1, 125, 4, "Record file: " + source_.fileName, f);
    text(RIGHT - 40, FOOTER + 1, 40, 4, QString("page %1 of %2").arg(page_).arg(total_), font(8, true),
         Qt::AlignRight);
    text(LEFT, FOOTER + 5, 125, 4, "SHA-256: " + source_.sha256, font(7, false, true));
    text(RIGHT - 40, FOOTER + 5, 40, 4, source_.producer, f, Qt::AlignRight, GREY);
}

void Painter::plotFrame(const PlotFrame &f, double x0, const QString &yTitle)
{
    pen(INK, 0.3);
    p_.setBrush(Qt::NoBrush);
    p_.drawRect(rect(f.x, f.y, f.w, f.h));
    p_.save();
    p_.translate(pt(x0 + 1, f.y + f.h / 2));
    p_.rotate(-90);
    p_.setFont(font(9, true));
    p_.setPen(INK);
    p_.drawText(QRectF(-f.h / 2 * unit_, 0, f.h * unit_, 5 * unit_), Qt::AlignCenter, yTitle);
    p_.restore();
    text(f.x, f.y + f.h + 8, f.w, 5, "Nominal resistance (MOhm, log scale)", font(9, true), Qt::AlignHCenter);
}

// Grid, ticks and their labels.
void Painter::plotGrid(const PlotFrame &f, const PlotScale &s)
{
    for (int d = s.dlo; d <= int(std::floor(s.xmax + 1e-9)); d++) {
        const double x = s.X(std::pow(10, d));
        pen(GRID, 0.15, Qt::DashLine);
        p_.drawLine(pt(x, f.y), pt(x, f.y + f.h));
        pen(INK, 0.3);
        p_.drawLine(pt(x, f.y + f.h), pt(x, f.y + f.h + 1.5));
        text(x - 12, f.y + f.h + 2, 24, 5, QString::number(std::pow(10, d), 'f', 0), font(8), Qt::AlignHCenter);
        for (int m = 2; m <= 9 && std::log10(m) + d <= s.xmax + 1e-9; m++) {
            const double xm = s.X(m * std::pow(10, d));
            p_.drawLine(pt(xm, f.y + f.h), pt(xm, f.y + f.h + 0.8));
        }
    }
    for (double v = -s.ymax; v <= s.ymax + s.step / 2; v += s.step) {
        const double y = s.Y(v);
        if (std::fabs(v) > s.step / 2 && std::fabs(v) < s.ymax - s.step / 2) {
            pen(GRID, 0.15, Qt::DashLine);
            p_.drawLine(pt(f.x, y), pt(f.x + f.w, y));
        }
        pen(INK, 0.3);
        p_.drawLine(pt(f.x - 1.5, y), pt(f.x, y));
        text(f.x - 16, y - 2.5, 14, 5, std::fabs(v) < s.step / 2 ? QString("0") : QString::number(v, 'g', 6),
             font(8), Qt::AlignRight);
    }
}

void Painter::failMark(QPointF c)
{
    const double a = 1.3 * unit_;
    pen(FAIL_INK, 0.45);
    p_.drawLine(c + QPointF(-a, -a), c + QPointF(a, a));
    p_.drawLine(c + QPointF(-a, a), c + QPointF(a, -a));
}

}  // namespace report
