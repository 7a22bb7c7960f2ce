// What the report's pages share: the page's geometry in millimetres (A4
// portrait, from the top left corner, a 20 mm margin left and right), its
// fonts and colours, text fitted into boxes, the footer, and the axes of
// an error plot. Used by report_pdf.cpp and report_full.cpp alone.
#pragma once

#include "ctl/report_pdf.h"

#include <QFont>
#include <QPainter>
#include <QPdfWriter>

#include <cmath>
#include <span>

namespace report {

constexpr double LEFT = 20, RIGHT = 190, WIDTH = RIGHT - LEFT;
constexpr double TOP = 15;
constexpr double LINE = 5;           // a row of the table, a line of the header data
constexpr double CONTENT_END = 272;  // the footer below
constexpr double FOOTER = 276;
constexpr double TABLE_HEAD = 10;    // the column heads, two lines

inline const QColor INK(0, 0, 0), GREY(110, 110, 110), RULE(150, 150, 150), STRIPE(238, 238, 238),
    BAND(212, 212, 212), GRID(205, 205, 205), FAIL_INK(190, 0, 0);

// A round step for an axis spanning `span`, about `parts` steps.
double niceStep(double span, int parts);

// The plot's frame in mm.
struct PlotFrame {
    double x, y, w, h;
};

// The plot's axes: decades of MOhm across, percent up and down.
struct PlotScale {
    PlotFrame frame;
    int dlo = 0;  // the first decade shown
    double xmin = 0, xmax = 1, step = 1, ymax = 1;
    static constexpr double inset = 8;  // of the points from the frame's sides
    double X(double mohm) const
    {
        return frame.x + inset + (std::log10(mohm) - xmin) / (xmax - xmin) * (frame.w - 2 * inset);
    }
    double Y(double pct) const { return frame.y + (ymax - pct) / (2 * ymax) * frame.h; }
};

// A column of a table: its head (a line or two), its width in mm, its
// alignment.
struct Column {
    const char *head;
    double width;
    int align;
};

class Painter
{
public:
    Painter(QPdfWriter &writer, const ReportSource &source, int total)
        : writer_(writer), source_(source), total_(total)
    {
    }

protected:
    QPdfWriter &writer_;
    const ReportSource &source_;
    const int total_;
    QPainter p_;
    int page_ = 1;
    double unit_ = 1;  // device units a millimetre
    QString banner_;   // above every page's footer, in red, when not empty

    bool begin();
    QPointF pt(double x, double y) const { return {x * unit_, y * unit_}; }
    QRectF rect(double x, double y, double w, double h) const
    {
        return {x * unit_, y * unit_, w * unit_, h * unit_};
    }
    static QFont font(double points, bool bold = false, bool mono = false, bool italic = false);
    void pen(const QColor &colour, double widthMm, Qt::PenStyle style = Qt::SolidLine);
    // Text in a box, made smaller to fit its width and, at the smallest,
    // cut short with an ellipsis.
    void text(double x, double y, double w, double h, const QString &s, const QFont &f,
              int align = Qt::AlignLeft, const QColor &colour = INK);
    // The heads of a table's columns on a band `height` high from y, in
    // bold of `points`, `pad` in from each side of a column; a head with a
    // line wider than its column is made smaller until it fits.
    void columnHeads(double y, std::span<const Column> columns, double height, double points, double pad);
    void hline(double x1, double x2, double y, const QColor &colour = RULE, double width = 0.25);
    void heading(double y, const QString &s) { text(LEFT, y, WIDTH, 6, s, font(11, true)); }
    void newPage()
    {
        writer_.newPage();
        ++page_;
    }
    void footer();
    // The plot's frame with its axis titles; x0 is the left of the space.
    void plotFrame(const PlotFrame &f, double x0, const QString &yTitle = "Error (%)");
    // Grid, ticks and their labels.
    void plotGrid(const PlotFrame &f, const PlotScale &s);
    void failMark(QPointF c);
};

}  // namespace report
