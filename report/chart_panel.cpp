#include "report/chart_panel.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLegend>
#include <QLineSeries>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <optional>

namespace zorbel {

namespace {

const QColor kSilver(0xC0, 0xC0, 0xC0);

QColor seriesColor(int i) {
    static const QColor colors[] = {QColor(0x20, 0x4a, 0x87), QColor(0xcc, 0x00, 0x00),
                                    QColor(0x4e, 0x9a, 0x06), QColor(0xf5, 0x79, 0x00),
                                    QColor(0x75, 0x50, 0x7b), QColor(0xc1, 0x7d, 0x11),
                                    QColor(0x06, 0x98, 0x9a), QColor(0x5c, 0x35, 0x66)};
    return colors[i % 8];
}

QLinearGradient background(const QRectF& r) {
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, Qt::white);
    g.setColorAt(1, kSilver);
    return g;
}

QString valueText(double v) {
    return QString::number(v, 'f', 2);
}

// The smallest and largest x and y of every point of the series; nullopt when there is no point.
struct Extent {
    double xmin, xmax, ymin, ymax;
};
std::optional<Extent> extentOf(const QVector<ChartSeries>& series) {
    std::optional<Extent> e;
    for (const auto& s : series)
        for (const QPointF& pt : s.points) {
            if (!e) e = Extent{pt.x(), pt.x(), pt.y(), pt.y()};
            e->xmin = std::min(e->xmin, pt.x());
            e->xmax = std::max(e->xmax, pt.x());
            e->ymin = std::min(e->ymin, pt.y());
            e->ymax = std::max(e->ymax, pt.y());
        }
    return e;
}

} // namespace

// ------------------------------------------------------------------------------------------ depth view

DepthChartView::DepthChartView(QWidget* parent) : QWidget(parent) {
    setMinimumSize(200, 150);
}

void DepthChartView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF all = rect();
    p.fillRect(all, background(all));

    const int n = std::max<int>(1, int(series_.size()));
    const double depthStep = std::min(30.0, all.width() / 12.0);
    const double dx = depthStep * 0.8, dy = -depthStep * 0.6; // one series further back
    const double left = 70, right = 20 + dx * n, top = 30 - dy * n, bottom = 50;
    QRectF plot(all.left() + left, all.top() + top, all.width() - left - right, all.height() - top - bottom);
    if (plot.width() < 20 || plot.height() < 20) return;

    auto [xmin, xmax, ymin, ymax] = extentOf(series_).value_or(Extent{0, 1, 0, 1});
    if (ymin > 0) ymin = 0;
    if (xmax == xmin) xmax = xmin + 1;
    if (ymax == ymin) ymax = ymin + 1;
    auto map = [&](QPointF v, int k) {
        double x = plot.left() + (v.x() - xmin) / (xmax - xmin) * plot.width();
        double y = plot.bottom() - (v.y() - ymin) / (ymax - ymin) * plot.height();
        return QPointF(x + dx * k, y + dy * k);
    };

    // floor and back wall of the box
    const QPointF o = plot.bottomLeft(), back(dx * n, dy * n);
    QPolygonF floor({o, plot.bottomRight(), plot.bottomRight() + back, o + back});
    QPolygonF wall({o + back, plot.topLeft() + back, plot.topRight() + back, plot.bottomRight() + back});
    QPolygonF side({o, o + back, plot.topLeft() + back, plot.topLeft()});
    p.setPen(QPen(Qt::gray, 1));
    p.setBrush(QColor(0xe8, 0xe8, 0xe8));
    p.drawPolygon(wall);
    p.setBrush(QColor(0xd4, 0xd4, 0xd4));
    p.drawPolygon(floor);
    p.setBrush(QColor(0xdc, 0xdc, 0xdc));
    p.drawPolygon(side);
    // value grid on the back wall and the left side, with the scale
    p.setFont(QFont(font().family(), 8));
    for (int i = 0; i <= 5; ++i) {
        double v = ymin + (ymax - ymin) * i / 5;
        double y = plot.bottom() - plot.height() * i / 5;
        p.setPen(QPen(QColor(0xb0, 0xb0, 0xb0), 1, Qt::DotLine));
        p.drawLine(QPointF(plot.left(), y), QPointF(plot.left(), y) + back);
        p.drawLine(QPointF(plot.left(), y) + back, QPointF(plot.right(), y) + back);
        p.setPen(Qt::black);
        p.drawText(QRectF(all.left(), y - 8, left - 6, 16), Qt::AlignRight | Qt::AlignVCenter, valueText(v));
    }
    // time labels under the floor
    p.setPen(Qt::black);
    for (int i = 0; i <= 4; ++i) {
        double x = plot.left() + plot.width() * i / 4;
        double t = xmin + (xmax - xmin) * i / 4;
        QString label = QDateTime::fromMSecsSinceEpoch(qint64(t)).toString("dd.MM.yyyy hh:mm");
        p.drawText(QRectF(x - 60, plot.bottom() + 4, 120, 16), Qt::AlignCenter, label);
    }

    // ribbons from the back to the front
    for (int k = int(series_.size()) - 1; k >= 0; --k) {
        const auto& s = series_[k];
        if (s.points.isEmpty()) continue;
        QColor c = seriesColor(k);
        QPolygonF front, rear;
        for (const QPointF& pt : s.points) {
            front << map(pt, k);
            rear << map(pt, k) + QPointF(dx * 0.7, dy * 0.7);
        }
        // top faces of the ribbon, segment by segment, shaded by slope
        for (int i = 0; i + 1 < front.size(); ++i) {
            QPolygonF face({front[i], front[i + 1], rear[i + 1], rear[i]});
            p.setPen(QPen(c.darker(140), 0.8));
            p.setBrush(c.lighter(front[i + 1].y() < front[i].y() ? 150 : 120));
            p.drawPolygon(face);
        }
        if (front.size() == 1) {
            p.setBrush(c);
            p.drawEllipse(front[0], 3, 3);
        }
        p.setPen(QPen(c.darker(120), 2));
        p.drawPolyline(front);
        if (labels_) {
            p.setPen(Qt::black);
            for (int i = 0; i < s.points.size(); ++i)
                if (plot.adjusted(-2, -20, dx * n + 2, 2).contains(front[i]))
                    p.drawText(front[i] + QPointF(3, -4), valueText(s.points[i].y()));
        }
    }

    // legend
    double lx = plot.left() + 8, ly = all.top() + 8;
    for (int k = 0; k < series_.size(); ++k) {
        p.fillRect(QRectF(lx, ly + 3, 14, 8), seriesColor(k));
        p.setPen(Qt::black);
        p.drawText(QPointF(lx + 18, ly + 11), series_[k].title);
        lx += 30 + p.fontMetrics().horizontalAdvance(series_[k].title);
    }
}

// ------------------------------------------------------------------------------------------ panel

ChartPanel::ChartPanel(QWidget* parent) : QStackedWidget(parent) {
    chart_ = new QChart;
    chart_->setTitle(QString());
    chart_->legend()->setVisible(true);
    chart_->legend()->setAlignment(Qt::AlignTop);
    QLinearGradient g(QPointF(0, 0), QPointF(0, 1));
    g.setCoordinateMode(QGradient::ObjectBoundingMode);
    g.setColorAt(0, Qt::white);
    g.setColorAt(1, kSilver);
    chart_->setBackgroundBrush(g);
    flat_ = new QChartView(chart_);
    flat_->setRenderHint(QPainter::Antialiasing);
    depth_ = new DepthChartView;
    addWidget(flat_);
    addWidget(depth_);
    setCurrentIndex(1);
    rebuildFlat();
}

void ChartPanel::setSeries(const QVector<ChartSeries>& series) {
    series_ = series;
    depth_->setSeries(series_);
    rebuildFlat();
}

void ChartPanel::setPointLabels(bool on) {
    labels_ = on;
    for (auto* s : chart_->series())
        if (auto* line = qobject_cast<QLineSeries*>(s)) line->setPointLabelsVisible(on);
    depth_->setPointLabels(on);
}

void ChartPanel::set3D(bool on) {
    setCurrentIndex(on ? 1 : 0);
}

void ChartPanel::rebuildFlat() {
    chart_->removeAllSeries();
    for (auto* a : chart_->axes()) {
        chart_->removeAxis(a); // the chart gives up its ownership
        delete a;
    }
    auto* x = new QDateTimeAxis;
    x->setFormat("dd.MM.yyyy hh:mm");
    x->setTickCount(5);
    auto* y = new QValueAxis;
    y->setLabelFormat("%.2f");
    chart_->addAxis(x, Qt::AlignBottom);
    chart_->addAxis(y, Qt::AlignLeft);
    for (int k = 0; k < series_.size(); ++k) {
        auto* line = new QLineSeries;
        line->setName(series_[k].title);
        line->setColor(seriesColor(k));
        line->setPointsVisible(true);
        line->setPointLabelsFormat("@yPoint");
        line->setPointLabelsClipping(true);
        line->setPointLabelsVisible(labels_);
        line->append(series_[k].points.toList());
        chart_->addSeries(line);
        line->attachAxis(x);
        line->attachAxis(y);
    }
    const std::optional<Extent> extent = extentOf(series_);
    if (!extent) {
        QDateTime now = QDateTime::currentDateTime();
        x->setRange(now.addDays(-1), now);
        y->setRange(0, 1);
        return;
    }
    auto [xmin, xmax, ymin, ymax] = *extent;
    if (xmax == xmin) xmax = xmin + 3600'000;
    double pad = (ymax - ymin) * 0.05;
    if (pad == 0) pad = std::max(1.0, std::fabs(ymax) * 0.05);
    x->setRange(QDateTime::fromMSecsSinceEpoch(qint64(xmin)), QDateTime::fromMSecsSinceEpoch(qint64(xmax)));
    y->setRange(ymin - pad, ymax + pad);
    y->applyNiceNumbers();
}

} // namespace zorbel
