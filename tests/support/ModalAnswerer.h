#pragma once

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>

// Answers modal dialogs from inside the event loop of whatever blocking call the test makes,
// the way a person would: each time a modal widget becomes active and visible, answer runs
// on it once. Counts the dialogs it saw, so a test can tell that none (or one) appeared.
class ModalAnswerer {
public:
    explicit ModalAnswerer(std::function<void(QWidget*)> answer) : m_answer(std::move(answer)) {
        // The timer, a member, is stopped before the object goes, so this stays valid.
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || modal == m_last || !modal->isVisible())
                return;
            m_last = modal;
            ++m_count;
            m_answer(modal);
        });
        m_timer.start(10);
    }

    int Count() const { return m_count; }

private:
    std::function<void(QWidget*)> m_answer;
    QPointer<QWidget> m_last;
    int m_count = 0;
    QTimer m_timer; // last, so it is destroyed first
};
