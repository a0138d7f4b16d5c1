#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

// Answers the next modal dialog: polls on the event loop until a modal widget is active,
// hands it to the handler (which inspects and closes it), and stops. A run that never shows
// a dialog leaves called() false, which the test then reports.
class ModalHelper {
public:
    explicit ModalHelper(std::function<void(QWidget*)> handler) : m_handler(std::move(handler)) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            m_timer.stop();
            m_called = true;
            m_handler(modal);
        });
        m_timer.start();
    }

    bool called() const { return m_called; }

private:
    std::function<void(QWidget*)> m_handler;
    QTimer m_timer;
    bool m_called = false;
};
