#pragma once
// Replaces the modal error box for the duration of a test and records what
// it would have shown.

#include "ErrorBox.h"

#include <QStringList>

namespace pnv::test {

class ErrorBoxSpy {
public:
    ErrorBoxSpy()
    {
        m_previous = pnv::setErrorPresenter([this](const QString &title, const QString &text) {
            titles << title;
            texts << text;
        });
    }
    ~ErrorBoxSpy() { pnv::setErrorPresenter(m_previous); }
    ErrorBoxSpy(const ErrorBoxSpy &) = delete;
    ErrorBoxSpy &operator=(const ErrorBoxSpy &) = delete;

    QStringList titles;
    QStringList texts;

private:
    pnv::ErrorPresenter m_previous;
};

} // namespace pnv::test
