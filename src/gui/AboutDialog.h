#pragma once

#include <QWidget>

class QLabel;

// The About window only hides on close: the tray keeps it for the next time it is asked for.
class AboutDialog : public QWidget
{
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~AboutDialog() override;

    void setVersion();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QLabel* m_label = nullptr;
    QLabel* m_labelVersion = nullptr;
};
