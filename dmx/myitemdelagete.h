// Editor of the DMX channel table: a spin box from 0 to 255 in the cell.
#pragma once

#include <QItemDelegate>

class MyItemDelagete : public QItemDelegate
{
    Q_OBJECT

public:
    explicit MyItemDelagete(QObject *parent = nullptr);

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;
};
