// The parameter wizard: the form shows the record field by field; Open and Save As move it to and from files.
#include "params/paramdialog.h"

#include <QDir>
#include <QLineEdit>
#include <QSpinBox>

#include "core/prompts.h"
#include "ui_paramdialog.h"

namespace {
// The file dialogs start in the working directory (".\" on Windows): never a literal backslash, which elsewhere
// names a file called ".\".
QString workingDirectory()
{
    return QDir::toNativeSeparators(QStringLiteral("./"));
}
} // namespace

ParamDialog::ParamDialog(QWidget *parent, Prompts &prompts)
    : QDialog(parent)
    , ui(new Ui::ParamDialogClass)
    , m_prompts(prompts)
{
    ui->setupUi(this); // no auto-default button: Enter in a field must not run "Open" over the edits
    // A text field takes no more characters than its place in the record holds, so what is shown is what is saved.
    for (const ParamField &f : ParamRecord::fields())
        if (f.kind == ParamField::Text)
            findChild<QLineEdit *>(QLatin1String(f.widget))->setMaxLength(f.width);
    connect(ui->pushButton_Open, &QPushButton::clicked, this, &ParamDialog::slotOpen);
    connect(ui->pushButton_SaveAs, &QPushButton::clicked, this, &ParamDialog::slotSaveAs);
    connect(ui->pushButton_Close, &QPushButton::clicked, this, &QDialog::close);
    updateUi();
}

ParamDialog::~ParamDialog() = default;

void ParamDialog::updateUi()
{
    for (const ParamField &f : ParamRecord::fields()) {
        if (f.kind == ParamField::Text)
            findChild<QLineEdit *>(QLatin1String(f.widget))->setText(m_record.text(f));
        else // a value above the box's maximum shows as the maximum
            findChild<QSpinBox *>(QLatin1String(f.widget))->setValue(m_record.number(f));
    }
}

void ParamDialog::readUi()
{
    for (const ParamField &f : ParamRecord::fields()) {
        if (f.kind == ParamField::Text)
            m_record.setText(f, findChild<QLineEdit *>(QLatin1String(f.widget))->text());
        else
            m_record.setNumber(f, quint16(findChild<QSpinBox *>(QLatin1String(f.widget))->value()));
    }
}

void ParamDialog::report(const QString &line)
{
    ui->textBrowser->append(line);
}

void ParamDialog::slotOpen()
{
    const QString path =
        m_prompts.getOpenFileName(tr("Open Parameter File"), workingDirectory(), tr("txt (*.txt)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!m_record.load(path, &error)) {
        report(error); // the form keeps what the user typed
        return;
    }
    updateUi();
}

void ParamDialog::slotSaveAs()
{
    readUi();
    const QString path =
        m_prompts.getSaveFileName(tr("Select new file"), workingDirectory(), tr("txt (*.txt)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!m_record.save(path, &error))
        report(error);
}
