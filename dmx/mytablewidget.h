// The DMX channel table: mouse-wheel stepping, Ctrl+C / Ctrl+V of cell values and cells that fill the widget.
#pragma once

#include <QTableWidget>
#include <QVariantList>

class MyTableWidget : public QTableWidget
{
    Q_OBJECT

public:
    explicit MyTableWidget(QWidget *parent = nullptr);
    MyTableWidget(int rows, int columns, QWidget *parent = nullptr);
    ~MyTableWidget() override;

protected:
    bool event(QEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // The values copied last (Ctrl+C), shared by every table for the rest of the run.
    static QVariantList s_copied;
};
