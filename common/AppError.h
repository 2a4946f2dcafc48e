#pragma once
// The errors that end a running handler and reach the window's error box.
// Each carries the message the box shows (the box appends the closing ".").

#include <QString>
#include <exception>
#include <string>

namespace pnv {

class AppError : public std::exception {
public:
    explicit AppError(QString message);
    const QString &message() const noexcept { return m_message; }
    const char *what() const noexcept override { return m_utf8.c_str(); }

private:
    QString m_message;
    std::string m_utf8;
};

// A field text that the standard integer conversion rejects.
class ConversionError final : public AppError {
public:
    explicit ConversionError(QString offendingText);
    const QString &offendingText() const noexcept { return m_text; }

private:
    QString m_text;
};

// The text of the error box for an error message: the message with a closing
// "." unless it already ends with one.
QString errorBoxText(const QString &message);

} // namespace pnv
