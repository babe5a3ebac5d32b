// The DMX channel table's wheel, copy/paste and resize behaviour.
#include "dmx/mytablewidget.h"

#include <QKeyEvent>
#include <QWheelEvent>

#include "core/logcategories.h"
#include "dmx/dmxsignal.h"

QVariantList MyTableWidget::s_copied;

MyTableWidget::MyTableWidget(QWidget *parent)
    : QTableWidget(parent)
{
    qCDebug(zrDmx) << "MyTableWidget constructor";
}

MyTableWidget::MyTableWidget(int rows, int columns, QWidget *parent)
    : QTableWidget(rows, columns, parent)
{
    qCDebug(zrDmx) << "MyTableWidget constructor";
}

MyTableWidget::~MyTableWidget()
{
    qCDebug(zrDmx) << "MyTableWidget destructor";
}

bool MyTableWidget::event(QEvent *event)
{
    return QTableWidget::event(event);
}

void MyTableWidget::mouseMoveEvent(QMouseEvent *event)
{
    QTableWidget::mouseMoveEvent(event);
}

void MyTableWidget::wheelEvent(QWheelEvent *event)
{
    qCDebug(zrDmx) << event;
    QTableWidget::wheelEvent(event);
    int step = event->angleDelta().y() > 0 ? 1 : -1;
    if (event->modifiers() & Qt::ControlModifier)
        step *= 10;
    for (const QModelIndex &index : selectedIndexes()) {
        bool isNumber = false;
        const int value = int(model()->data(index, Qt::EditRole).toUInt(&isNumber));
        if (isNumber)
            model()->setData(index, qBound(0, value + step, kDmxMaxValue), Qt::EditRole);
    }
}

void MyTableWidget::keyPressEvent(QKeyEvent *event)
{
    qCDebug(zrDmx) << event;
    QTableWidget::keyPressEvent(event);
    if (!(event->modifiers() & Qt::ControlModifier))
        return;
    const QModelIndexList selected = selectedIndexes();
    if (event->key() == Qt::Key_C) {
        s_copied.clear();
        for (const QModelIndex &index : selected)
            s_copied << model()->data(index, Qt::EditRole);
    } else if (event->key() == Qt::Key_V && !s_copied.isEmpty()) {
        // A short copy repeats over a larger selection.
        for (int i = 0; i < selected.size(); ++i)
            model()->setData(selected.at(i), s_copied.at(i % s_copied.size()), Qt::EditRole);
    }
}

void MyTableWidget::resizeEvent(QResizeEvent *event)
{
    QTableWidget::resizeEvent(event);
    // One share more than there are columns and rows leaves room for the headers.
    const int w = width() / (columnCount() + 1);
    const int h = height() / (rowCount() + 1);
    for (int c = 0; c < columnCount(); ++c)
        setColumnWidth(c, w);
    for (int r = 0; r < rowCount(); ++r)
        setRowHeight(r, h);
}
