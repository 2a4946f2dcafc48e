#include "AppError.h"

namespace pnv {

AppError::AppError(QString message)
    : m_message(std::move(message)), m_utf8(m_message.toStdString())
{
}

ConversionError::ConversionError(QString offendingText)
    : AppError(QStringLiteral("'%1' is not a valid integer value").arg(offendingText)),
      m_text(std::move(offendingText))
{
}

QString errorBoxText(const QString &message)
{
    if (message.endsWith(QLatin1Char('.')))
        return message;
    return message + QLatin1Char('.');
}

} // namespace pnv
