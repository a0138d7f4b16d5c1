#pragma once

#include <QObject>

#include <functional>

// Turns a stored function into a Qt slot, so that any signal can run any bound function.
// Created without parent; whoever creates it keeps it for as long as the connection matters.
class Qtfier : public QObject {
    Q_OBJECT
public:
    explicit Qtfier(std::function<void()> function);

public slots:
    // Runs the function; an empty function does nothing.
    void Slot();

private:
    std::function<void()> m_function;
};
