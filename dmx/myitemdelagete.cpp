// The channel table's spin-box editor.
#include "dmx/myitemdelagete.h"

#include <QSpinBox>

#include "dmx/dmxsignal.h"

MyItemDelagete::MyItemDelagete(QObject *parent)
    : QItemDelegate(parent)
{
}

QWidget *MyItemDelagete::createEditor(QWidget *parent, const QStyleOptionViewItem &, const QModelIndex &) const
{
    auto *editor = new QSpinBox(parent);
    editor->setMinimum(0);
    editor->setMaximum(kDmxMaxValue);
    return editor;
}

void MyItemDelagete::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    static_cast<QSpinBox *>(editor)->setValue(index.model()->data(index, Qt::EditRole).toInt());
}

void MyItemDelagete::setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const
{
    auto *spinBox = static_cast<QSpinBox *>(editor);
    spinBox->interpretText(); // take a typed value that has not been committed yet
    model->setData(index, spinBox->value(), Qt::EditRole);
}

void MyItemDelagete::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                          const QModelIndex &) const
{
    editor->setGeometry(option.rect);
}
