// The chart of the tab "График": line series of archive fields over WriteDay, shown flat (QtCharts) or in a
// depth view drawn here (ribbons one behind the other), with optional point labels.
#pragma once

#include <QPointF>
#include <QStackedWidget>
#include <QString>
#include <QVector>
#include <QWidget>

QT_BEGIN_NAMESPACE
class QChart;
class QChartView;
QT_END_NAMESPACE

namespace zorbel {

struct ChartSeries {
    QString title;
    QVector<QPointF> points; // x: WriteDay as milliseconds since the epoch, y: the field's value
};

// The depth view: each series is a ribbon, the first in front, with a floor and a back wall.
class DepthChartView : public QWidget {
    Q_OBJECT
public:
    explicit DepthChartView(QWidget* parent = nullptr);
    void setSeries(const QVector<ChartSeries>& series) {
        series_ = series;
        update();
    }
    void setPointLabels(bool on) {
        labels_ = on;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QVector<ChartSeries> series_;
    bool labels_ = false;
};

class ChartPanel : public QStackedWidget {
    Q_OBJECT
public:
    explicit ChartPanel(QWidget* parent = nullptr);

    void setSeries(const QVector<ChartSeries>& series);
    const QVector<ChartSeries>& series() const { return series_; }
    void clear() { setSeries({}); }
    void setPointLabels(bool on);
    bool pointLabels() const { return labels_; }
    void set3D(bool on);
    bool is3D() const { return currentIndex() == 1; }

    QChart* chart() const { return chart_; }
    QChartView* flatView() const { return flat_; }
    DepthChartView* depthView() const { return depth_; }

private:
    void rebuildFlat();

    QVector<ChartSeries> series_;
    bool labels_ = false;
    QChart* chart_ = nullptr;
    QChartView* flat_ = nullptr;
    DepthChartView* depth_ = nullptr;
};

} // namespace zorbel
