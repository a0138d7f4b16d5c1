#pragma once

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

// Answers modal dialogs from inside the event loop of whatever blocking call the test makes,
// the way a person would: each time a modal widget becomes active and visible, answer runs
// on it once. Counts the dialogs it saw, so a test can tell that none (or one) appeared.
class ModalAnswerer {
public:
    explicit ModalAnswerer(std::function<void(QWidget*)> answer)
        : m_state(std::make_unique<State>()) {
        m_state->answer = std::move(answer);
        State* state = m_state.get();
        QObject::connect(&state->timer, &QTimer::timeout, [state] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || modal == state->last || !modal->isVisible())
                return;
            state->last = modal;
            ++state->count;
            state->answer(modal);
        });
        state->timer.start(10);
    }

    int Count() const { return m_state->count; }

private:
    struct State {
        std::function<void(QWidget*)> answer;
        QTimer timer;
        QPointer<QWidget> last;
        int count = 0;
    };
    std::unique_ptr<State> m_state;
};
