#pragma once

#include "protocol/Cryptographic.h"

#include <QDialog>

class QLineEdit;

// Guards exiting the agent with the protection password the server configured.
class ExitDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ExitDialog(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~ExitDialog() override;

    void setWindowComponents();
    void resetPasswordField();

    void setHashedPassword(const QString& hashedPassword) { m_hashedPassword = hashedPassword; }
    void setSalt(const QString& salt) { m_salt = salt; }
    // The typed password is then checked elsewhere: OK goes straight to the confirmation.
    void setCheckedByService(bool checkedByService) { m_checkedByService = checkedByService; }
    bool isApproved() const { return m_approved; }
    QString password() const;
    QLineEdit* passwordField() const { return m_password; }

    // The wrong-password message, also shown when the daemon refuses the password.
    static void showPasswordIncorrect(QWidget* parent);

public slots:
    void onOK();
    void onCancel();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QLineEdit* m_password = nullptr;
    QString m_hashedPassword;
    QString m_salt;
    bool m_approved = false;
    bool m_checkedByService = false;
    Cryptographic m_cryptographic;
};
