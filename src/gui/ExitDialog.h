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
    bool isApproved() const { return m_approved; }
    QLineEdit* passwordField() const { return m_password; }

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
    Cryptographic m_cryptographic;
};
