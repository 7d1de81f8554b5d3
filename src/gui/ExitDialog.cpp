#include "ExitDialog.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

ExitDialog::ExitDialog(QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags)
{
    setWindowComponents();
}

ExitDialog::~ExitDialog() = default;

void ExitDialog::setWindowComponents()
{
    setModal(true);
    auto* layout = new QGridLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Enter the required password to exit Vantorel."), this), 0, 0);

    m_password = new QLineEdit(this);
    m_password->setEchoMode(QLineEdit::Password);
    layout->addWidget(m_password, 1, 0);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    connect(ok, &QPushButton::clicked, this, &ExitDialog::onOK);
    layout->addWidget(ok, 1, 1);

    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    connect(cancel, &QPushButton::clicked, this, &ExitDialog::onCancel);
    layout->addWidget(cancel, 1, 2);

    setWindowTitle(QStringLiteral("Exit Vantorel"));
}

void ExitDialog::resetPasswordField()
{
    m_password->clear();
}

void ExitDialog::onOK()
{
    const QByteArray digest = m_cryptographic.convertQStringToSha256(m_password->text() + m_salt);
    m_approved = false;
    if (!m_checkedByService && QString::fromLatin1(digest.toHex()) != m_hashedPassword) {
        showPasswordIncorrect(this);
        return;
    }

    QMessageBox verify(QMessageBox::Information, QStringLiteral("Verify"),
                       QStringLiteral("If you exit Vantorel, some device protection and management features of your "
                                      "network may not be applied to this device.\nExit Vantorel anyway?"),
                       QMessageBox::Yes | QMessageBox::No, this);
    verify.setWindowTitle(QStringLiteral("Exit Vantorel"));
    if (verify.exec() == QMessageBox::Yes) {
        m_approved = true;
        hide();
    }
}

void ExitDialog::showPasswordIncorrect(QWidget* parent)
{
    QMessageBox wrong(QMessageBox::Critical, QStringLiteral("Error"),
                      QStringLiteral("Enter the correct password to exit Vantorel."), QMessageBox::NoButton, parent);
    wrong.setWindowTitle(QStringLiteral("Password incorrect"));
    wrong.exec();
}

QString ExitDialog::password() const
{
    return m_password->text();
}

void ExitDialog::onCancel()
{
    resetPasswordField();
    hide();
}

void ExitDialog::closeEvent(QCloseEvent* event)
{
    resetPasswordField();
    event->ignore();
    hide();
}
