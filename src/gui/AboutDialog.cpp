#include "AboutDialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QLabel>

namespace {

QLabel* makeLabel(QWidget* parent, const char* name, const QRect& geometry, int pointSize, const QString& text)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(geometry);
    QFont font = label->font();
    font.setPointSize(pointSize);
    label->setFont(font);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    label->setText(text);
    return label;
}

} // namespace

AboutDialog::AboutDialog(QWidget* parent, Qt::WindowFlags flags)
    : QWidget(parent, flags)
{
    setObjectName(QStringLiteral("AboutDialog"));
    resize(322, 73);
    m_label = makeLabel(this, "label", QRect(0, 10, 320, 30), 14, QStringLiteral("Ostrelle Vantorel"));
    m_labelVersion = makeLabel(this, "label_version", QRect(0, 40, 320, 59), 12, QStringLiteral("0.0.0.0000"));
    setWindowTitle(tr("About"));
}

AboutDialog::~AboutDialog() = default;

void AboutDialog::setVersion()
{
    const QString version = QCoreApplication::applicationVersion();
    const QStringList parts = version.split(QLatin1Char('.'));
    // Only major.minor and the build number mean anything to a user; the rest stays internal.
    if (parts.size() >= 3) {
        m_labelVersion->setText(QStringLiteral("Version: ") + parts.at(0) + QLatin1Char('.') + parts.at(1)
                                + QStringLiteral(" (build ") + parts.at(2) + QLatin1Char(')'));
    } else {
        m_labelVersion->setText(QStringLiteral("Version: ") + version);
    }
}

void AboutDialog::closeEvent(QCloseEvent* event)
{
    event->ignore();
    hide();
}
