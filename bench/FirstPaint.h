#pragma once
// Ends a start-up measurement at a window's first paint: once the window has
// painted, the next step runs (bringing another page to the front, say), and
// when no step is left the application quits. The paint itself finishes
// first, because the quit is queued behind it.

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

class QuitAfterPaints final : public QObject {
public:
    // Each step runs after one more paint of the window; then the quit.
    QuitAfterPaints(QWidget *window, std::vector<std::function<void()>> steps)
        : QObject(window), m_steps(std::move(steps))
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_queued) {
            m_queued = true;
            QTimer::singleShot(0, this, [this, watched] {
                m_queued = false;
                if (m_next < m_steps.size()) {
                    m_steps[m_next++]();
                    static_cast<QWidget *>(watched)->update();
                } else {
                    QCoreApplication::quit();
                }
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::vector<std::function<void()>> m_steps;
    std::size_t m_next = 0;
    bool m_queued = false;
};
